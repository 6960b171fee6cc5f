// libFuzzer target: any datagram through the answer rules and ParseReports
// (parsing, storing, the mode derivation and the log lines).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/settings.hpp"
#include "support/fuzz_settings.hpp"
#include "wallbox/keba_exchange.hpp"
#include "wallbox/keba_reports.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kivd::replace_settings(kivd::test::fuzz_settings());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The worker hands over at most 511 bytes and a terminating zero.
  char text[512];
  const std::size_t n = size < 511 ? size : 511;
  for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>(data[i]);
  text[n] = '\0';
  const std::string_view t(text);
  using kivd::AnswerKind;
  const kivd::Answer a = kivd::classify_answer(t, [](std::string_view x) -> std::optional<AnswerKind> {
    const auto k = kivd::parse_and_apply(x);
    if (!k) return std::nullopt;
    return *k == kivd::ReportKind::Broadcast ? AnswerKind::Broadcast : AnswerKind::Report1;
  });
  if (a.ok && a.kind == AnswerKind::Other) __builtin_trap();  // only an answer carries a verdict
  return 0;
}
