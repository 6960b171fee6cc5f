// Behaviour of the daemon's pages. The pages carry no script of their own
// (the Content-Security-Policy allows scripts from the daemon only): they
// name what to do in data attributes, and this file does it.
//   data-href="/x"              a button that opens /x
//   data-onclick="f g"          functions called with the element on a click
//   data-onchange, data-onkeyup the same for those events
//   data-onsubmit="f"           a form check; false stops the submit
//   <body data-onload="f g">    functions called once the page has loaded
//   <meta name="kivd-confirm" data-fn data-question data-target>
//                               defines fn(): asks, then opens the target
//   <meta name="kivd-progress" data-end data-interval>
//                               the restart and update progress bar
'use strict';

function checkNumbers(f) { f.value = f.value.replace(/[^0-9]/g, ''); }
function checkInput(f) { checkNumbers(f); }

// Control page
function select_mode() {
  var d = document.forms['details'], m = d.WebChargingMode;
  if (m[0].checked || m[1].checked) { d.ActivationValue.disabled = true; d.ManualValue.disabled = true; }
  if (m[2].checked) { d.ActivationValue.disabled = false; d.ManualValue.disabled = true; }
  if (m[3].checked) { d.ActivationValue.disabled = true; d.ManualValue.disabled = false; }
}

// Settings page
function fld(n) { return document.forms['details'].elements[n]; }
function enable(names, on) { for (var i = 0; i < names.length; i++) fld(names[i]).disabled = !on; }
function selectWallbox() { enable(['WallboxType', 'WallboxIP'], fld('WallboxUsing').checked); }
function selectStorage() { enable(['StorageType', 'StorageIP', 'StorageRatio'], fld('StorageUsing').checked); }
function selectMysql() {
  enable(['MysqlIP', 'MysqlPort', 'MysqlDatabase', 'MysqlUsername', 'MysqlPassword'], fld('MysqlUsing').checked);
}
function selectSmartmeter() {
  enable(['SmartmeterType', 'SmartmeterIP', 'SmartmeterPort', 'SmartmeterSerial', 'SmartmeterTimeout'],
         fld('SmartmeterUsing').checked);
}
function selectKNX() { enable(['KNXIP', 'KNXPort', 'KNXInterval'], fld('KNXUsing').checked); }
// Its check boxes stay enabled: a disabled box is not sent, which would
// store it as FALSE.
function selectMqtt() {
  var on = fld('MqttUsing').checked;
  enable(['MqttHost', 'MqttPort', 'MqttUsername', 'MqttPassword', 'MqttTopic', 'MqttInterval'], on);
  fld('MqttCaFile').disabled = !on || !fld('MqttTls').checked;
  fld('MqttDiscoveryPrefix').disabled = !on || !fld('MqttDiscovery').checked;
}
function selectStartmode() {
  var m = fld('StartMode').value;
  fld('ActivationValue').disabled = m != 'surplus';
  fld('ManualValue').disabled = m != 'manual';
}
function setSmartmeterData() {
  var t = fld('SmartmeterType').value;
  if (t == 'SMA') {
    fld('SmartmeterIP').value = '239.12.255.254'; fld('SmartmeterPort').value = '9522';
    fld('SmartmeterSerial').disabled = false;
  } else if (t == 'AS1440' || t == 'MT175') {
    fld('SmartmeterIP').value = ''; fld('SmartmeterPort').value = '5000';
    fld('SmartmeterSerial').value = '0'; fld('SmartmeterSerial').disabled = true;
  } else if (t == 'OEM') {
    fld('SmartmeterIP').value = '224.3.29.71'; fld('SmartmeterPort').value = '10004';
    fld('SmartmeterSerial').value = '0'; fld('SmartmeterSerial').disabled = true;
  } else if (t == 'LOCAL') {
    fld('SmartmeterSerial').disabled = true;
  }
}
function checkKNXInterval() {
  var f = fld('KNXInterval');
  if (Number(f.value) < 10) { alert('The minimum interval is 10 seconds!'); f.value = '10'; }
}
function checkEVRatio() {
  var f = fld('StorageRatio'), v = Number(f.value);
  if (v > 100) { alert('The maximum ev-ratio is 100%!'); f.value = '100'; }
  else if (v < 10) { alert('The minimum ev-ratio is 10%!'); f.value = '10'; }
}

// KNX page
function selectItem() {
  var e = document.forms['vioform'].elements;
  for (var i = 0; i < e.length; i++) {
    if (e[i].type != 'checkbox') continue;
    var g = e['g_' + e[i].name.split('_')[1]];
    if (g) g.disabled = !e[i].checked;
  }
}

// The checks of a form before it is sent: [field, kind, complaint].
function checksOf(form) {
  if (form.name == 'details') {
    var ip = 'is not a valid IP address', port = 'is not a valid port number';
    return [['SmartmeterIP', 'ip', ip], ['WallboxIP', 'ip', ip], ['MysqlIP', 'ip', ip], ['KNXIP', 'ip', ip],
            ['StorageIP', 'ip', ip], ['SmartmeterPort', 'port', port], ['MysqlPort', 'port', port],
            ['KNXPort', 'port', port]];
  }
  var list = [];
  for (var i = 0; i < form.elements.length; i++) {
    if (/^g_[0-9]+$/.test(form.elements[i].name)) list.push([form.elements[i].name, 'group', 'is not a valid group address']);
  }
  return list;
}
function validate(form) {
  var list = checksOf(form), errors = '';
  var ip = /\b(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\b/;
  var ga = /\d{1,3}\/\d{1,3}\/\d{1,3}/;
  for (var i = 0; i < list.length; i++) {
    var f = form.elements[list[i][0]];
    if (!f) continue;
    var v = f.value, bad;
    if (list[i][1] == 'ip') bad = v != '' && !ip.test(v);
    else if (list[i][1] == 'group') bad = v != '' && !ga.test(v);
    else { var n = parseInt(v, 10); bad = isNaN(n) || n > 50000; }
    if (bad) errors += list[i][0] + ': ' + v + ' ' + list[i][2] + '\n';
  }
  if (errors != '') { alert('Following errors are detected: \n' + errors); return false; }
  return true;
}

// Restart and update pages: a bar that fills, then the home page.
var progressAt = 0;
function progress_update() {
  var p = document.querySelector('meta[name=kivd-progress]');
  var end = Number(p.getAttribute('data-end')), interval = Number(p.getAttribute('data-interval'));
  document.getElementById('showbar').style.visibility = 'visible';
  progressAt++;
  if (progressAt > end) { document.location.href = '/home'; return; }
  document.getElementById('progress' + progressAt).style.backgroundColor = 'black';
  setTimeout(progress_update, interval);
}

(function () {
  // Only the functions above may be named by a page. The listeners capture,
  // so events that do not bubble reach them too.
  var callable = {
    checkNumbers: checkNumbers, checkInput: checkInput, select_mode: select_mode, selectWallbox: selectWallbox,
    selectStorage: selectStorage, selectMysql: selectMysql, selectSmartmeter: selectSmartmeter,
    selectKNX: selectKNX, selectMqtt: selectMqtt, selectStartmode: selectStartmode,
    setSmartmeterData: setSmartmeterData, checkKNXInterval: checkKNXInterval, checkEVRatio: checkEVRatio,
    selectItem: selectItem, validate: validate, progress_update: progress_update
  };
  var metas = document.querySelectorAll('meta[name=kivd-confirm]');
  for (var i = 0; i < metas.length; i++) {
    (function (m) {
      var fn = m.getAttribute('data-fn'), question = m.getAttribute('data-question'),
          target = m.getAttribute('data-target');
      if (!/^Confirm[A-Za-z]+$/.test(fn)) return;
      window[fn] = callable[fn] = function () { if (confirm(question)) self.location = target; };
    })(metas[i]);
  }
  function run(el, attr) {
    var names = (el.getAttribute(attr) || '').split(/[\s;]+/), ok = true;
    for (var i = 0; i < names.length; i++) {
      if (names[i] && callable.hasOwnProperty(names[i]) && callable[names[i]](el) === false) ok = false;
    }
    return ok;
  }
  function closest(t, attr) {
    for (; t && t.getAttribute; t = t.parentNode) if (t.hasAttribute(attr)) return t;
    return null;
  }
  document.addEventListener('click', function (e) {
    var h = closest(e.target, 'data-href');
    if (h) { self.location = h.getAttribute('data-href'); return; }
    var c = closest(e.target, 'data-onclick');
    if (c) run(c, 'data-onclick');
  });
  ['change', 'keyup'].forEach(function (type) {
    document.addEventListener(type, function (e) {
      if (e.target.hasAttribute && e.target.hasAttribute('data-on' + type)) run(e.target, 'data-on' + type);
    }, true);
  });
  document.addEventListener('submit', function (e) {
    if (e.target.hasAttribute('data-onsubmit') && !run(e.target, 'data-onsubmit')) e.preventDefault();
  });
  function loaded() { if (document.body) run(document.body, 'data-onload'); }
  if (document.readyState == 'complete') loaded();
  else window.addEventListener('load', loaded);
})();
