// Small text and file helpers shared by several subsystems.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivd {

// True when stat() on the path succeeds (file or directory).
bool FileExists(const std::string& path);

// Runs a program with an argument vector (never through a shell) and waits
// for it. Returns true when the program could be started; its exit status is
// stored in *status when given.
bool executew(const std::vector<std::string>& argv, int* status = nullptr);

// Substring in place: cuts text at start+length and returns the text from
// start; a start beyond the end gives the empty end of the text.
char* mid(char* text, int start, int length);

// Value of a hexadecimal string; any other character, or none, gives 0.
std::uint32_t parseHex(std::string_view text);

// True when the text is not empty and holds only the digits 0-9.
bool is_numeric(std::string_view text);

// Replaces the first occurrence of search by replacement.
std::string stringReplace(std::string_view search, std::string_view replacement, std::string_view text);

// "GET /page HTTP/1.1" request for host with the agent and Connection: close.
std::string build_get_query(std::string_view host, std::string_view page);

// atoi rules: optional blanks and sign, then leading decimal digits; anything
// else ends the number; no digits gives 0. Saturates instead of overflowing.
int atoi_rules(std::string_view text);

// Copies at most n-1 bytes and terminates.
void copy_text(char* dst, std::size_t n, std::string_view src);

// At most max bytes of text with every control character shown as "?", so
// that received text cannot split or forge a log line.
std::string printable(std::string_view text, std::size_t max);

// A form field or query value as a browser encodes it
// (application/x-www-form-urlencoded): "+" for a blank, "%XX" for other
// bytes; a "%" without two hex digits is taken as it stands.
std::string form_decode(std::string_view s);
bool has_control(std::string_view text);

// Names the calling thread (at most 15 characters shown), so that top, ps and
// /proc/PID/task/*/comm tell the workers apart.
void name_this_thread(const char* name);

}  // namespace kivd
