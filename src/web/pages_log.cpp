// Log, clear-log and restart progress pages.
#include <sys/stat.h>

#include <string>

#include "core/log.hpp"
#include "core/settings.hpp"
#include "web/log_archive.hpp"
#include "web/pages.hpp"

namespace kivd::web {

namespace {

void log_text_area(Sink& out, const PageContext& ctx) {
  const std::string log_file = cfg().LOG_FILE;
  struct stat st{};
  if (::lstat(log_file.c_str(), &st) != 0) {
    out.put("Log file not found.\n");
    return;
  }
  // LOG_DIR may be a shared folder: a link placed at the log's name would
  // show (and archive) another file through the page.
  if (!S_ISREG(st.st_mode)) {
    log_line("Webserver: %s is not a plain file, not shown", log_file.c_str());
    out.put("Log file not found.\n");
    return;
  }
  if (st.st_size >= kLogArchiveSize) {
    std::string why;
    const std::string name = archive_log(log_file, ctx.time.local, &why);
    if (name.empty()) {
      log_line("Webserver: log file not archived: %s", why.c_str());
      out.put("The log file could not be compressed.\n");
    } else {
      out.put("The log file has been compressed.\n");
    }
    return;
  }
  const LogTail tail = read_log_tail(log_file);
  switch (tail.kind) {
    case LogTail::Kind::NotFound: out.put("Log file not found.\n"); break;
    case LogTail::Kind::Empty: out.put("The log is empty.\n"); break;
    case LogTail::Kind::Lines: out.put(tail.text); break;
  }
}

}  // namespace

void page_log(Sink& out, const PageContext& ctx) {
  head_variant_b(out);
  confirm_script(out, "ConfirmClearLog", "Do you want to delete the log file?", "/clearlog");
  title_piece(out, "log page");
  style_piece(out);
  body_start(out, "Log page");
  button_bar(out);
  out.put(
      "<table style=\"width: 775px;\" border=\"0\" cellpadding=\"5\" cellspacing=\"0\"><colgroup><col "
      "width=\"100\"><col width=\"675\"></colgroup><tbody>\n");
  out.put("<tr><td style=\"vertical-align:top;\"><PRE>\n");
  out.put("<b>Last\nentries </b>\n");
  out.put("</PRE></td>\n");
  out.put("<td style=\"vertical-align:top;\"><div><textarea id=\"log\" cols=\"90\" rows=\"30\">\n");
  log_text_area(out, ctx);
  out.put("</textarea></div></td>\n");
  out.put("</tbody></table>\n");
  out.put("<br /><input type=\"button\" value=\"Clear log\" data-onclick=\"ConfirmClearLog\">\n");
  body_end(out);
}

void page_clearlog(Sink& out, const PageContext&) {
  const std::string log_file = cfg().LOG_FILE;
  if (clear_log(log_file)) {
    redirect_page(out, "/log");
  } else {
    log_line("Webserver: cannot delete the log file %s", log_file.c_str());
    redirect_page(out, "/home");
  }
}

void page_restart(Sink& out, const PageContext&) {
  out.put("<HTML><HEAD><TITLE>Restarting Orvane...</TITLE>\n");
  content_type_meta_piece(out);
  style_piece(out, false);
  progress_script(out, 65, 500);
  out.put(
      "</head><body data-onload=\"progress_update\"><table align=\"left\"><tr><td><PRE>Restarting service. Please "
      "wait...</PRE></td></tr><tr><td>\n");
  progress_cells(out, 65);
  out.put("</div></td></tr></table>\n");
  body_end_compact(out);
}

}  // namespace kivd::web
