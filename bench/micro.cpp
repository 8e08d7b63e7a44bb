// Microbenchmarks of the JSON text code that every listing and progress poll
// runs: escaping one name, and building a whole 3,000-entry listing text.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "frame.h"

namespace {

// A plain name, one that needs escapes, and one with UTF-8 and stray bytes.
const char *const kNames[] = {
    "quarterly-report-2024-final.xlsx",
    "say \"hello\"\\to\tthe\nworld.txt",
    "gr\xc3\xbc\xc3\x9f"
    "e-\xe6\x97\xa5\xe6\x9c\xac-\xff\xfe-caf\xc3\xa9.txt",
};

void BM_JsonEscape(benchmark::State &state) {
  const char *name = kNames[state.range(0)];
  char out[1024];
  for (auto _ : state) {
    tw::json_escape(out, sizeof out, name);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_JsonEscape)->DenseRange(0, 2)->ArgName("name");

// The entries of a folder of 3,000 files, as a remote listing has them.
struct Listing {
  char names[3000][32];
  Listing() {
    for (int i = 0; i < 3000; ++i)
      std::snprintf(names[i], sizeof names[i], "IMG_%05d (copy).jpg", i);
  }
};

void BM_Listing3000(benchmark::State &state) {
  static Listing listing;
  static char buf[tw::kJsonCap];
  for (auto _ : state) {
    tw::JsonArray a;
    tw::json_array_begin(&a, buf);
    for (int i = 0; i < 3000; ++i) {
      tw::EntryRecord e{listing.names[i], false, 1048576 + i, 1700000000 + i,
                        "-rw-r--r--",     1000,  1000};
      tw::json_entry_add(&a, e);
    }
    tw::json_array_end(&a);
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations() * 3000);
}
BENCHMARK(BM_Listing3000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
