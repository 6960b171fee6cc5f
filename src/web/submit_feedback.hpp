// After a control or settings form post the browser gets a 303 redirect to
// the page (post, redirect, get): a reload then repeats the harmless GET, not
// the post. The outcome travels in the target's query and the page shows it.
// The redirect comes from the request child that wrote the hand-over, so the
// daemon applies the change before the browser asks for the page again.
#pragma once

#include <string>
#include <string_view>

#include "core/local_time.hpp"
#include "web/http_io.hpp"
#include "web/page_common.hpp"

namespace kivd::web {

// True for a POST to a form page answered with the redirect: /control,
// /settings, /knx (exact targets, as the form handling matches them).
bool answers_with_redirect(const ReqInfo& req);

// The page with the outcome of ctx in its query, e.g. "/control?done=1".
std::string outcome_location(std::string_view path, const PageContext& ctx);

// Reads an outcome query of a GET back into ctx (outcome_shown and the post_
// fields); anything else in the query is ignored.
void read_outcome(std::string_view resource, PageContext& ctx);

// The "303 See Other" answer (header block when the request is a full one,
// and a small page with the link for clients that do not follow it).
void see_other(Sink& out, const ReqInfo& req, const TimeSnapshot& time, std::string_view location);

}  // namespace kivd::web
