// Base64 throughput of our codec beside OpenSSL's block functions and a plain memcpy of the
// same number of bytes. Request bodies reach 20 MiB, so the large size is the one that counts.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/base64.h"

namespace {

constexpr int64_t kSizes[] = {1 << 10, 64 << 10, 20 << 20};

std::string RandomBytes(size_t length) {
  std::mt19937 random(42);
  std::string bytes(length, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  return bytes;
}

// A Base64 text of exactly `length` characters (a multiple of four), as a request body is.
std::string RandomText(size_t length) { return vemo::Base64Encode(RandomBytes(length / 4 * 3)); }

void SizeArguments(benchmark::internal::Benchmark* bench) {
  for (int64_t size : kSizes) bench->Arg(size);
}

void BM_Base64Decode(benchmark::State& state) {
  const std::string text = RandomText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string bytes = vemo::Base64Decode(text);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// The same decoder without the vector blocks, as on processors without AVX2.
void BM_Base64DecodePortable(benchmark::State& state) {
  const std::string text = RandomText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string bytes = vemo::Base64DecodePortable(text);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_OpenSslDecodeBlock(benchmark::State& state) {
  const std::string text = RandomText(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> bytes(text.size() / 4 * 3 + 4);
  for (auto _ : state) {
    const int length =
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_Base64Encode(benchmark::State& state) {
  const std::string bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = vemo::Base64Encode(bytes);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void BM_OpenSslEncodeBlock(benchmark::State& state) {
  const std::string bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> text((bytes.size() + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    const int length =
        EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()));
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void BM_Memcpy(benchmark::State& state) {
  const std::string source = RandomBytes(static_cast<size_t>(state.range(0)));
  std::vector<char> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}

BENCHMARK(BM_Base64Decode)->Apply(SizeArguments);
BENCHMARK(BM_Base64DecodePortable)->Apply(SizeArguments);
BENCHMARK(BM_OpenSslDecodeBlock)->Apply(SizeArguments);
BENCHMARK(BM_Base64Encode)->Apply(SizeArguments);
BENCHMARK(BM_OpenSslEncodeBlock)->Apply(SizeArguments);
BENCHMARK(BM_Memcpy)->Apply(SizeArguments);

}  // namespace

BENCHMARK_MAIN();
