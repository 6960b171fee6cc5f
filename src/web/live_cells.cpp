#include "web/live_cells.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace kivd::web {

void live_cell(Sink& out, const char* key, const char* fmt, ...) {
  char text[600];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  out.printf("<span id=\"lv-%s\">%s</span>", key, text);
}

void kw_cell(Sink& out, const char* key, long watts) {
  out.printf(" <span id=\"lv-%s-kw\">(%.1f kW)</span>", key, static_cast<double>(std::labs(watts)) / 1000.0);
}

void amp_cell(Sink& out, const char* key, long mA) {
  const double a = static_cast<double>(mA) / 1000.0;
  if (key) out.printf(" <span id=\"lv-%s-a\">(%.1f A)</span>", key, a);
  else out.printf(" (%.1f A)", a);
}

void stale_mark(Sink& out, const char* source, bool stale) {
  if (stale) out.printf("<span data-stale=\"%s\" class=\"stale\"> stale</span>", source);
  else out.printf("<span data-stale=\"%s\"></span>", source);
}

void live_script(Sink& out, bool script) {
  out.put("<style>.stale{color:#C00000;font-weight:bold}</style>\n");
  if (script) out.printf("<script src=\"%s\" defer></script>\n", kLiveScript);
}

}  // namespace kivd::web
