// Marked values on the info page: each live value sits in a span with an id
// ("lv-<key>") that the page's script (resources/live_values.js) fills from
// /api/status, so the page shows the same text with and without script.
#pragma once

#include "web/http_io.hpp"

namespace kivd::web {

// The script, a static file in the resources folder.
inline constexpr const char* kLiveScript = "/live_values.js";

// <span id="lv-KEY">formatted text</span>
void live_cell(Sink& out, const char* key, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// " <span id="lv-KEY-kw">(1.2 kW)</span>": a power in W, shown as kW.
void kw_cell(Sink& out, const char* key, long watts);
// " (6.0 A)" for a current in mA; in a span "lv-KEY-a" when key is given.
void amp_cell(Sink& out, const char* key, long mA);
// The stale mark of a source ("meter", "car", "storage"): the text "stale"
// (" stale") in class "stale" while the source is silent, else an empty span.
void stale_mark(Sink& out, const char* source, bool stale);
// The stale class's style and, when the resources folder is there (script),
// the script tag; after the values.
void live_script(Sink& out, bool script);

}  // namespace kivd::web
