// Writes the benchmark inputs. Every command is deterministic: the same
// arguments give the same bytes.
//
//   kvbench-gen text FILE BYTES [MATCH_EVERY [SEED]]
//   kvbench-gen tree FOLDER TOTAL_BYTES FILES PROJECTS [MATCH_EVERY [SEED]]
//   kvbench-gen vb6 FOLDER FORMS MODULES BYTES_PER_FILE [SEED]
//   kvbench-gen sed-script FILE
//   kvbench-gen rules FILE     (each row's old and new text, tab between, one row a line)
//
// Sizes take an optional K, M or G suffix (powers of 1024). Each command
// prints one line: files, bytes, largest file and rule matches placed.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "corpus.h"

namespace {

size_t ParseSize(const std::string& text) {
  size_t used = 0;
  const unsigned long long value = std::stoull(text, &used);
  size_t scale = 1;
  if (used < text.size()) {
    switch (text[used]) {
      case 'K':
      case 'k':
        scale = size_t{1} << 10;
        break;
      case 'M':
      case 'm':
        scale = size_t{1} << 20;
        break;
      case 'G':
      case 'g':
        scale = size_t{1} << 30;
        break;
      default:
        throw std::invalid_argument("bad size: " + text);
    }
  }
  return static_cast<size_t>(value) * scale;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void Print(const kvbench::TreeSummary& s) {
  std::printf("files=%zu bytes=%zu largest=%zu matches=%zu\n", s.files, s.bytes, s.largest,
              s.matches);
}

int Usage() {
  std::fputs(
      "usage: kvbench-gen text FILE BYTES [MATCH_EVERY [SEED]]\n"
      "       kvbench-gen tree FOLDER TOTAL_BYTES FILES PROJECTS [MATCH_EVERY [SEED]]\n"
      "       kvbench-gen vb6 FOLDER FORMS MODULES BYTES_PER_FILE [SEED]\n"
      "       kvbench-gen sed-script FILE\n"
      "       kvbench-gen rules FILE\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  auto arg = [&](int i, const char* fallback) -> std::string {
    return i < argc ? argv[i] : fallback;
  };
  if (command == "text" && argc >= 4) {
    size_t matches = 0;
    const std::string text = kvbench::MakeCSharpText(ParseSize(argv[3]), ParseSize(arg(4, "2048")),
                                                     std::stoull(arg(5, "1")), &matches);
    WriteFile(argv[2], text);
    Print(kvbench::TreeSummary{1, text.size(), text.size(), matches});
    return 0;
  }
  if (command == "tree" && argc >= 6) {
    kvbench::TreeOptions options;
    options.totalBytes = ParseSize(argv[3]);
    options.files = ParseSize(argv[4]);
    options.projects = ParseSize(argv[5]);
    options.matchEvery = ParseSize(arg(6, "2048"));
    options.seed = std::stoull(arg(7, "1"));
    Print(kvbench::WriteDotNetTree(argv[2], options));
    return 0;
  }
  if (command == "vb6" && argc >= 6) {
    Print(kvbench::WriteVb6Project(argv[2], ParseSize(argv[3]), ParseSize(argv[4]),
                                   ParseSize(argv[5]), std::stoull(arg(6, "1"))));
    return 0;
  }
  if (command == "sed-script") {
    WriteFile(argv[2], kvbench::SedScript());
    return 0;
  }
  if (command == "rules") {
    WriteFile(argv[2], kvbench::RuleLines());
    return 0;
  }
  return Usage();
} catch (const std::exception& e) {
  std::fprintf(stderr, "kvbench-gen: %s\n", e.what());
  return 1;
}
