// The commented configuration file written when /etc/kivd.ini is missing.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "core/settings.hpp"
#include "core/unique_fd.hpp"

namespace kivd {

namespace {

constexpr int kCommentColumn = 28;

const char* const kDatapointNames[kDatapoints] = {
    "meter real power L1",      "meter real power L2",     "meter real power L3",
    "meter real power L1+L2+L3", "meter voltage L1",       "meter voltage L2",
    "meter voltage L3",         "meter power factor",      "meter energy consumption",
    "meter energy surplus",     "available power",         "wallbox charging mode",
    "wallbox state",            "wallbox plug state",      "wallbox system enabled",
    "wallbox input X1",         "wallbox output X2",       "wallbox charging power",
    "wallbox session energy",   "wallbox total energy",    "storage battery SOC",
    "storage battery temp",     "storage battery voltage", "storage battery current",
    "storage power"};

std::string framed(const std::string& text) {
  std::string line = text;
  line.resize(79, ' ');
  return line + "#\n";
}

// Setting line with blanks up to the comment column.
std::string line(const std::string& setting, const std::string& comment) {
  std::string s = setting;
  if (s.size() < kCommentColumn) s.resize(kCommentColumn, ' ');
  else s += ' ';
  return s + "; " + comment + "\n";
}

// Setting line with tabs up to the comment column (8-column tab stops).
std::string tab_line(const std::string& setting, const std::string& comment) {
  std::string s = setting;
  std::size_t col = s.size();
  do {
    s += '\t';
    col = (col / 8 + 1) * 8;
  } while (col < kCommentColumn);
  return s + "; " + comment + "\n";
}

std::string manual_currents_comment() {
  std::string c = "only in manually mode: charging current in mA (values are ";
  for (std::size_t i = 0; i < kManualCurrents.size(); ++i) {
    if (i) c += ", ";
    c += std::to_string(kManualCurrents[i]);
  }
  return c + ")";
}

}  // namespace

std::string DefaultIniText() {
  const std::string hashes(80, '#');
  std::string t;
  t += hashes + "\n";
  t += framed("# kivd configuration");
  t += framed("# location at: /etc");
  t += framed("# Orvane - charging the car from the sun, see README for every key");
  t += hashes + "\n";
  t += "\n";

  t += "[CONFIG]\n" + line("VERSION=1.6", "ini file version") + "\n";
  t += "[LOG]\n";
  t += tab_line("LOG_DIR=/tmp", "log and app-path");
  t += tab_line("LOG_FILE=/tmp/kivd.log", "log file");
  t += tab_line("PID_FILE=/tmp/kivd.pid", "lock pid");
  t += line("DEBUG=0", "debugging info in logfile, 0 = off, 1 = on");
  t += "[NETWORK]\n";
  t += line("BINDTODEVICE=",
            "empty = default network interface, eth0, eth1, wlan0 etc. = specific network interface");
  t += "\n";
  t += "[WEBSERVER]\n" + line("PORT=18001", "internal webserver port, default 18001");
  t += "[SMARTMETER]\n";
  t += line("USING=TRUE", "set it every time TRUE, FALSE only for testing");
  t += line("TYPE=SMA", "SMA or OEM or AS1440 or MT175");
  t += tab_line("HOST=239.12.255.254", "IP or hostname, SMA: 239.12.255.254, OEM: 224.3.29.71");
  t += line("PORT=9522", "port, co.met: 5000, SMA Energy Meter: 9522, OEM: 10004");
  t += "\n";
  t += line("[SMA]", "suboption: SMA Energy Meter");
  t += line("SERIAL=0", "if you have more than one SMA EnergyMeter, set the serial-number. 0 for one SMA EM only");
  t += "\n";
  t += "[INFRASTRUCTURE]\n";
  t += line("CURRENT=35000", "rated current in mA");
  t += line("DISTANCE=2000", "safety distance to the maximum rated current im mA");
  t += line("STARTMODE=SURPLUS", "start mode: SURPLUS, QUICK or MANUAL");
  t += line("MANUALCURRENT=6000", manual_currents_comment());
  t += "\n";
  t += "[WALLBOX]\n";
  t += line("USING=FALSE", "use a electric vehicle");
  t += line("TYPE=KEBAP20", "KEBAP20: KEBA KeContact P20");
  t += tab_line("HOST=192.168.0.20", "IP or hostname");
  t += line("PORT=7090", "UDP port KEBA P20: 7090");
  t += line("ACTIVATION=-1380", "activates wallbox f.e. at -1380 W on surplus, values are from -32000 to 0");
  t += line("CAR_MAX_PHASES=1", "maximum available load phases on EV");
  t += line("CAR_MIN_CHARGE=6000", "minimal charging current in mA (values are 6000, 7020, 7980, 9000)");
  t += line("TESLABUGFIX=0", "Tesla workaround, current raised in steps of whole amperes: 1 = on, 0 = off");
  t += "\n";
  t += "[MYSQL]\n";
  t += line("USING=FALSE", "use MySQL DB: TRUE, ignore MySQL DB: FALSE");
  t += tab_line("HOST=192.168.0.10", "IP or hostname");
  t += line("PORT=3306", "port: 3306");
  t += tab_line("USERNAME=user", "user name");
  t += tab_line("PASSWORD=chgpw123", "password, stored here in clear text");
  t += line("DATABASE=smarthouse", "database on mysql server");
  t += "\n";
  t += "[STORAGESYSTEM]\n";
  t += line("USING=FALSE", "use a battery storage system");
  t += line("TYPE=SIX0H", "SIX0H = Sunny Island 3.0M, 4.4M, 6.0H and 8.0H");
  t += tab_line("HOST=192.168.10.30", "IP or hostname");
  t += line("PORT=9522", "Port 9522");
  t += line("EVRATIO=100", "EV/STORAGE ratio");
  t += "\n";
  t += "[KNX]\n";
  t += line("USING=FALSE", "use a KNX gateway");
  t += line("ROUTER=192.168.10.15", "KNX IP Gateway");
  t += line("PORT=3671", "Router Port: 3671");
  t += line("INTERVAL=30", "broadcasting interval in seconds (>=10)");
  t += "\n";
  for (int n = 1; n <= kDatapoints; ++n) {
    const std::string num = std::to_string(n);
    t += "[DPT_" + num + "]\n";
    t += line(n == 4 ? "USING=TRUE" : "USING=FALSE",
              std::string("send ") + kDatapointNames[n - 1] + ": TRUE = on, FALSE = off");
    t += line("GROUPADR=8/1/" + num, "KNX group address f.e. 8/1/" + num);
    t += "\n";
  }
  return t;
}

bool WriteDefaultINIFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return false;
  const std::string text = DefaultIniText();
  std::size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + off, text.size() - off);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kivd
