// Every page branch of Return_Website, one source file per group.
#pragma once

#include <string_view>

#include "web/page_common.hpp"

namespace kivd::web {

// pages_status.cpp: info page ("/", "/home") and XML status ("/xml").
void page_info(Sink& out, const PageContext& ctx);
void page_xml(Sink& out, const PageContext& ctx);

// pages_control.cpp: control page and remote interface.
void page_control(Sink& out, const PageContext& ctx);
void page_remote(Sink& out, const PageContext& ctx);

// pages_log.cpp: log, clear log and restart progress pages.
void page_log(Sink& out, const PageContext& ctx);
void page_clearlog(Sink& out, const PageContext& ctx);
void page_restart(Sink& out, const PageContext& ctx);

// pages_settings.cpp: general and KNX settings pages, and the form writer
// that Service_Request calls for a POST (mode 1 general, 2 KNX); false on
// failure. refused, when given, receives the fields whose values were refused.
void page_settings(Sink& out, const PageContext& ctx);
void page_knx(Sink& out, const PageContext& ctx);
bool write_settings_form(std::string_view body, int mode, std::string* refused = nullptr);

// pages_update.cpp: update check, download and update progress pages.
void page_checkupdate(Sink& out, const PageContext& ctx);
void page_download(Sink& out, const PageContext& ctx);
void page_update(Sink& out, const PageContext& ctx);

// static_files.cpp: a file below web_res_path for a resource with a static
// suffix; nothing is sent when it cannot be opened or lies outside.
void send_static_file(FdSink* conn, Sink& out, std::string_view resource);

// dispatch.cpp
int Return_Website(Sink& out, FdSink* conn, const PageContext& ctx);

}  // namespace kivd::web
