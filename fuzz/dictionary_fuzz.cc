// Fuzz target: the dictionary reader. Any bytes must read without a crash or
// a hang, as a data dictionary and, where that loads, as an application
// dictionary (the part after a line "####"). Loaded sets must hold only
// bound references.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/dictionary.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

std::string write_temp(const char* suffix, std::string_view text) {
  const std::string path = "/tmp/corvanta_dict_fuzz_" + std::to_string(::getpid()) + suffix;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  require(f != nullptr);
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find("####\n");
  const std::string data_path = write_temp(".dic", input.substr(0, split));
  const std::string appl_path =
      write_temp(".app", split == std::string_view::npos ? std::string_view() : input.substr(split + 5));

  std::FILE* sink = std::fopen("/dev/null", "w");
  corvanta::dict::DataDictionary dictionary;
  corvanta::dict::ApplDictionary application;
  if (dictionary.load({data_path}, corvanta::dict::ErrorOutput{sink}).ok()) {
    for (const auto& pool : dictionary.pools()) {
      for (const auto* file : pool.file_defs) {
        require(file->number >= 1 && file->number <= 999);
        require(file->index_length <= 256 && file->index_data_length <= 256);
        for (const auto* index : file->indexes) require(index->term_def != nullptr || !index->term.given());
      }
    }
    if (application.load({appl_path}, dictionary, corvanta::dict::ErrorOutput{sink}).ok()) {
      corvanta::dict::mark_bibliographic_files(application);
      for (const auto& pool : application.pools()) require(pool.data != nullptr);
    }
  }
  std::fclose(sink);
  std::remove(data_path.c_str());
  std::remove(appl_path.c_str());
  return 0;
}
