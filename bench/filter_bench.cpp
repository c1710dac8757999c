//
// Micro-benchmarks of the filter's hot loops: the two band encoders, the 360 dpi row merge,
// the blank-row test and the band output, each in bytes of grey input per second.
//
// The band output writes to standard output, which is sent to /dev/null here; the reports go
// to standard error (or to the file named by --benchmark_out).
//

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/bands.h"
#include "synthetic_page.h"

namespace {

// An A4 line at 180 dpi: 8 inches of 180 dots.
constexpr unsigned kBandWidth = 1440;
// A raster row at 360 dpi across, halved into one band row.
constexpr unsigned kRasterRowBytes = 2 * kBandWidth;

using Bytes = std::vector<unsigned char>;

// A grey band of 24 rows cut from a synthetic page, starting at page row first_row.
Bytes Band(RowFiller fill, unsigned first_row) {
  Bytes grey(kBandRows * kBandWidth);
  for (unsigned r = 0; r < kBandRows; r++) {
    fill(kBandWidth, first_row + r, grey.data() + r * kBandWidth);
  }
  return grey;
}

RowFiller Pattern(const benchmark::State &state) {
  return state.range(0) == 0 ? PhotoRow : TextRow;
}

void SetGreyBytes(benchmark::State &state, size_t bytes_per_iteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes_per_iteration));
  state.SetLabel(state.range(0) == 0 ? "photo" : "text");
}

// Zeroing the packed band is part of every encoding, as the band loop does it.
template <int (*Encoder)(int, const unsigned char *, unsigned char *, int)>
void BM_Encoder(benchmark::State &state) {
  const Bytes grey = Band(Pattern(state), 0);
  Bytes packed(kBytesPerColumn * kBandWidth);
  for (auto _ : state) {
    std::fill(packed.begin(), packed.end(), 0);
    Encoder(kBandWidth, grey.data(), packed.data(), kPrintLevel);
    benchmark::DoNotOptimize(packed.data());
    benchmark::ClobberMemory();
  }
  SetGreyBytes(state, grey.size());
}
BENCHMARK_TEMPLATE(BM_Encoder, BinaryImage)->Name("BinaryImage")->Arg(0)->Arg(1);
BENCHMARK_TEMPLATE(BM_Encoder, BinaryImageHold)->Name("BinaryImageHold")->Arg(0)->Arg(1);

// Two 360 dpi raster rows into one band row: the darker of each pair, then halved across.
void BM_RowMerge(benchmark::State &state) {
  Bytes first(kRasterRowBytes), second(kRasterRowBytes), row(kBandWidth);
  Pattern(state)(kRasterRowBytes, 6, first.data());
  Pattern(state)(kRasterRowBytes, 7, second.data());
  Bytes merged(kRasterRowBytes);
  for (auto _ : state) {
    MergeLineData(first.data(), second.data(), merged.data(), kRasterRowBytes);
    MergeColumnData(merged.data(), row.data(), kRasterRowBytes);
    benchmark::DoNotOptimize(row.data());
    benchmark::ClobberMemory();
  }
  SetGreyBytes(state, 2 * kRasterRowBytes);
}
BENCHMARK(BM_RowMerge)->Name("RowMerge360")->Arg(0)->Arg(1);

// The blank test of a white row reads the whole row; a row with ink ends early.
void BM_BlankRow(benchmark::State &state) {
  Bytes row(kBandWidth, 255);
  for (auto _ : state) {
    benchmark::DoNotOptimize(isBlankRow(kBandWidth, row.data()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * row.size()));
  state.SetLabel("white");
}
BENCHMARK(BM_BlankRow)->Name("isBlankRow");

// Takes the printer's bytes and drops them.
bool DropBytes(void * /*context*/, const unsigned char * /*bytes*/, size_t /*count*/) {
  return true;
}

// One band through OutputBlockData: run search, commands and the hand-over to the sink.
void BM_BandOutput(benchmark::State &state) {
  const Bytes grey = Band(Pattern(state), 0);
  Bytes packed(kBytesPerColumn * kBandWidth, 0);
  BinaryImage(kBandWidth, grey.data(), packed.data(), kPrintLevel);
  PrinterSink sink = {nullptr, DropBytes, nullptr, nullptr, false};
  for (auto _ : state) {
    OutputBlockData(sink, 0, kBandRows, kBandWidth, packed.data(), 180);
  }
  SetGreyBytes(state, grey.size());
}
BENCHMARK(BM_BandOutput)->Name("OutputBlockData")->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::ConsoleReporter console;
  console.SetOutputStream(&std::cerr);
  console.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&console);
  benchmark::Shutdown();
  return 0;
}
