// Cost of one SMA Energy Meter datagram: decoding (seventeen record walks)
// and publishing into the live values. Counts heap allocations on the way:
// the receive path must not allocate.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/live_values.hpp"
#include "meter/emulated_meter.hpp"
#include "meter/meter_modes.hpp"
#include "meter/sma_datagram.hpp"

namespace {
std::atomic<long> allocations{0};
}

// The counting replacement pairs malloc with free by design.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace kivd::meter;

void check_allocations(benchmark::State& state, long before) {
  const long n = allocations.load() - before;
  state.counters["allocs"] = static_cast<double>(n);
  if (n != 0) state.SkipWithError("the datagram path allocated");
}

void BM_SmaDecode(benchmark::State& state) {
  const EmulatedDatagram& d = emulated_datagram();
  SmaValues v;
  const long before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(decode_sma_datagram(d, 0, v));
    benchmark::DoNotOptimize(v);
  }
  check_allocations(state, before);
}
BENCHMARK(BM_SmaDecode);

void BM_SmaDecodeAndPublish(benchmark::State& state) {
  const EmulatedDatagram& d = emulated_datagram();
  SmaValues v;
  publish_sma(v);  // first use of the time zone data may allocate once
  const long before = allocations.load();
  for (auto _ : state) {
    if (decode_sma_datagram(d, 0, v) == SmaVerdict::Accepted) {
      ++v.ticker_ms;  // each a new reading, as the meter sends them
      publish_sma(v);
    }
  }
  check_allocations(state, before);
  benchmark::DoNotOptimize(kivd::live().intpow.load());
}
BENCHMARK(BM_SmaDecodeAndPublish);

// A 1500-byte datagram whose length field claims more than was received and
// holds no wanted record: the longest walks.
void BM_SmaWorstCaseWalk(benchmark::State& state) {
  std::array<std::uint8_t, 1500> d{};
  d[0] = 'S', d[1] = 'M', d[2] = 'A';
  d[12] = 0xFF, d[13] = 0xFF;
  for (std::size_t p = 28; p + 8 <= d.size(); p += 8) d[p + 1] = 200, d[p + 2] = 4;
  SmaValues v;
  const long before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(decode_sma_datagram(d, 0, v));
  }
  check_allocations(state, before);
}
BENCHMARK(BM_SmaWorstCaseWalk);

}  // namespace

BENCHMARK_MAIN();
