// Throughput of the password digest engine next to OpenSSL's SHA-256, on a
// password-sized input (64 bytes) and a bulk one (1 MiB). After the usual
// table it prints the engine's throughput as a ratio of OpenSSL's per size.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "account/sha256.h"

namespace {

constexpr int64_t kSmall = 64;
constexpr int64_t kLarge = 1 << 20;

std::vector<unsigned char> Input(int64_t size) {
  std::vector<unsigned char> data(static_cast<size_t>(size));
  uint32_t x = 0x9e3779b9;
  for (unsigned char& b : data) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<unsigned char>(x >> 24);
  }
  return data;
}

void BM_Engine(benchmark::State& state) {
  const std::vector<unsigned char> data = Input(state.range(0));
  unsigned char digest[SHA256::kDigestSize];
  for (auto _ : state) {
    SHA256 ctx{};
    ctx.init();
    ctx.update(data.data(), static_cast<uint32_t>(data.size()));
    ctx.final(digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The portable compression over the same message and its padding. Both sizes
// are whole blocks, so the padding is one fixed block: 0x80, zeros, the bit
// length.
void BM_EnginePortable(benchmark::State& state) {
  const std::vector<unsigned char> data = Input(state.range(0));
  unsigned char pad[SHA256::kBlockSize] = {0x80};
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i)
    pad[SHA256::kBlockSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  const uint32_t blocks = static_cast<uint32_t>(data.size() / SHA256::kBlockSize);
  for (auto _ : state) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    sha256_internal::transform_portable(h, data.data(), blocks);
    sha256_internal::transform_portable(h, pad, 1);
    benchmark::DoNotOptimize(h);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The digest object and algorithm are set up once, as a caller hashing many
// messages would, so only the hashing itself is timed.
void BM_OpenSsl(benchmark::State& state) {
  const std::vector<unsigned char> data = Input(state.range(0));
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, data.data(), data.size());
    EVP_DigestFinal_ex(ctx, digest, &len);
    benchmark::DoNotOptimize(digest);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Engine)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_EnginePortable)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_OpenSsl)->Arg(kSmall)->Arg(kLarge);

// Prints the table as usual and keeps bytes_per_second of each run by name; with repetitions, the
// median of them.
class RateCollector : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, so redirected output stays plain text.
  RateCollector() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()].push_back(it->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Rate of name over rate of base, or a negative value if either is missing.
  double Ratio(const std::string& name, const std::string& base) const {
    auto n = rates_.find(name);
    auto b = rates_.find(base);
    if (n == rates_.end() || b == rates_.end()) return -1;
    double base_rate = Median(b->second);
    return base_rate > 0 ? Median(n->second) / base_rate : -1;
  }

 private:
  static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("sha extensions: %s\n", sha256_internal::cpu_has_sha() ? "yes" : "no");
  RateCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const struct {
    const char* label;
    std::string arg;
  } kSizes[] = {{"64B", std::to_string(kSmall)}, {"1MiB", std::to_string(kLarge)}};
  for (const auto& size : kSizes) {
    const std::string base = "BM_OpenSsl/" + size.arg;
    const double engine = reporter.Ratio("BM_Engine/" + size.arg, base);
    const double portable = reporter.Ratio("BM_EnginePortable/" + size.arg, base);
    if (engine >= 0) std::printf("ratio sha256/openssl %s: %.2f\n", size.label, engine);
    if (portable >= 0)
      std::printf("ratio sha256-portable/openssl %s: %.2f\n", size.label, portable);
  }
  return 0;
}
