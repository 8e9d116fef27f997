#include "app/pack.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <vector>

#include "app/batch.h"
#include "app/messages.h"
#include "app/report_rows.h"
#include "decoder/decoder.h"
#include "format/bytes.h"
#include "format/pack_image.h"
#include "platform/platform.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

fs::path pathOf(const std::string& name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

std::string fileStem(const std::string& name) {
  const std::u8string stem = pathOf(name).stem().u8string();
  return std::string(stem.begin(), stem.end());
}

std::string fileName(const std::string& name) {
  const std::u8string last = pathOf(name).filename().u8string();
  return std::string(last.begin(), last.end());
}

// The bytes of a file, or false.
bool readWhole(const fs::path& path, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

// A folder of its own under the folder for temporary files.
bool makeScratch(fs::path& folder) {
  std::error_code failed;
  const fs::path under = fs::temp_directory_path(failed);
  if (failed) return false;
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    folder = under / ("korvane-pack-" + std::to_string(random()));
    if (fs::create_directory(folder, failed)) return true;
  }
  return false;
}

// The streams of an encode: a batch into --out-dir, or into a scratch folder
// removed afterwards.
int encodeAll(Console& console, const Command& command, const Options& options,
              std::vector<PackPrompt>& prompts) {
  Options batch = options;
  fs::path scratch;
  if (batch.outDir.empty()) {
    if (!makeScratch(scratch)) return reportFailure(console, Failure::cannotCreate, options.pack);
    const std::u8string text = scratch.u8string();
    batch.outDir.assign(text.begin(), text.end());
  }
  std::vector<std::string> inputs;
  for (const PackPrompt& p : prompts)
    inputs.push_back(p.input);
  int code = 0;
  if (scratch.empty()) {
    code = runBatch(console, command, batch, inputs);
  } else {
    // Messages and rows name a stream in the image as IMAGE:NAME, not the
    // scratch file it was made in.
    std::string out;
    std::string err;
    Console kept = console;
    kept.outText = &out;
    kept.errText = &err;
    code = runBatch(kept, command, batch, inputs);
    console.status = kept.status;
    for (std::string* text : {&out, &err}) {
      const std::string from = batch.outDir + "/";
      for (std::size_t at = 0; (at = text->find(from, at)) != std::string::npos;) {
        text->replace(at, from.size(), options.pack + ":");
        at += options.pack.size() + 1;
      }
    }
    say(console, Stream::out, "%s", out.c_str());
    say(console, Stream::err, "%s", err.c_str());
  }
  for (PackPrompt& p : prompts) {
    if (code != 0) break;
    if (!readWhole(pathOf(batchOutputName(command, batch.outDir, p.input, options.base)),
                   p.stream)) {
      code = reportFailure(console, Failure::cannotRead, p.input);
    }
    p.format = command.format;
  }
  std::error_code ignored;
  if (!scratch.empty()) fs::remove_all(scratch, ignored);
  return code;
}

// The streams of -P: each device file read whole and checked as -D checks it.
int readAll(Console& console, std::vector<PackPrompt>& prompts) {
  int code = 0;
  for (PackPrompt& p : prompts) {
    if (!readWhole(pathOf(p.input), p.stream)) {
      code = std::max(code, reportFailure(console, Failure::cannotOpen, p.input));
      continue;
    }
    DecodeCursor cursor;
    if (const DecodeError error = openStream(memorySource(p.stream), cursor);
        error != DecodeError::none) {
      code = std::max(code, reportFailure(console, failureOf(error), p.input));
      continue;
    }
    p.format = cursor.info.format;
  }
  return code;
}

struct PackOutput {
  std::string name;
  std::span<const std::uint8_t> bytes;
  OutputFile file;
};

// Every output made beside its target first, then all put in place: a
// failure before the last is in place leaves none of them changed but
// those already put.
int writeTogether(Console& console, std::vector<PackOutput>& outputs) {
  const auto dropAll = [&] {
    for (PackOutput& o : outputs)
      discardOutput(o.file);
  };
  for (PackOutput& o : outputs) {
    const CreateResult made = createOutput(o.name, FileIdentity{}, true, o.file);
    if (made == CreateResult::created) continue;
    dropAll();
    return reportFailure(
        console, made == CreateResult::isWave ? Failure::outputIsWave : Failure::cannotCreate,
        o.name, true);
  }
  for (PackOutput& o : outputs) {
    if (writeOutputPiece(o.file, o.bytes)) continue;
    dropAll();
    return reportFailure(console, Failure::cannotWrite, o.name);
  }
  for (PackOutput& o : outputs) {
    if (finishOutput(o.file)) continue;
    dropAll();
    return reportFailure(console, Failure::cannotWrite, o.name);
  }
  return 0;
}

void printPackReport(Console& console, const Options& options,
                     const std::vector<PackPrompt>& prompts, std::span<const std::uint8_t> image,
                     std::uint32_t crc) {
  if (options.reportRows()) {
    ReportRow row;
    row.output = options.pack;
    row.format = "image";
    row.samples = prompts.size();
    row.bytes = image.size();
    printRow(console, options.report, row, {options.trimColumns});
    return;
  }
  std::map<std::string, std::uint64_t> byFormat;
  const PackPrompt* largest = &prompts[0];
  for (const PackPrompt& p : prompts) {
    byFormat[factsOf(p.format).name] += p.stream.size();
    if (p.stream.size() > largest->stream.size()) largest = &p;
  }
  std::string formats;
  for (const auto& [name, bytes] : byFormat)
    formats += (formats.empty() ? "" : ", ") + name + " " + std::to_string(bytes);
  say(console, Stream::out,
      "%s : %zu prompts, %zu bytes (%s), largest %s (%zu bytes), CRC-32 0x%08X\n",
      options.pack.c_str(), prompts.size(), image.size(), formats.c_str(), largest->input.c_str(),
      largest->stream.size(), crc);
}

}  // namespace

std::string cIdentifier(const std::string& text, bool upper) {
  std::string id;
  for (const char ch : text) {
    const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
    const bool digit = ch >= '0' && ch <= '9';
    char out = letter || digit ? ch : '_';
    if (upper && out >= 'a' && out <= 'z') out = static_cast<char>(out - 'a' + 'A');
    id += out;
  }
  if (id.empty() || (id[0] >= '0' && id[0] <= '9')) id.insert(id.begin(), '_');
  return id;
}

std::string promptIdentifier(const std::string& input, const std::string& base) {
  static constexpr Command kNoExtension = {"", "", Action::encode, Format::pcm16};
  return cIdentifier(batchOutputName(kNoExtension, "", input, base), true);
}

std::string packHeaderText(const std::string& symbol, std::size_t count, std::size_t imageLength,
                           std::uint32_t crc, std::uint32_t align,
                           std::span<const std::string> identifiers) {
  const std::string guard = cIdentifier(symbol, true) + "_PACK_H";
  char numbers[512];
  std::snprintf(numbers, sizeof numbers,
                "#define %s_COUNT %zuu\n#define %s_IMAGE_SIZE %zuu\n#define %s_IMAGE_CRC32 "
                "0x%08Xu\n#define %s_ALIGN %uu\n",
                symbol.c_str(), count, symbol.c_str(), imageLength, symbol.c_str(), crc,
                symbol.c_str(), align);
  std::string text = "/* Written by korvane: the prompts of " + symbol + "_image. */\n#ifndef " +
                     guard + "\n#define " + guard + "\n\n#include <stdint.h>\n\n" + numbers +
                     "\n#ifdef __cplusplus\nextern \"C\" {\n#endif\n\nextern const uint8_t " +
                     symbol + "_image[];\n\nenum " + symbol + "_id {\n";
  for (std::size_t i = 0; i < identifiers.size(); ++i) {
    text += "  " + symbol + "_" + identifiers[i] + " = " + std::to_string(i) +
            (i + 1 < identifiers.size() ? ",\n" : "\n");
  }
  return text + "};\n\n#ifdef __cplusplus\n}\n#endif\n\n#endif\n";
}

std::string packSourceText(const std::string& symbol, const std::string& headerName,
                           std::span<const std::uint8_t> image) {
  std::string text = "/* Written by korvane. */\n#include <stdint.h>\n";
  if (!headerName.empty()) text += "#include \"" + headerName + "\"\n";
  text += "\n#ifndef " + symbol + "_IMAGE_SIZE\n#define " + symbol + "_IMAGE_SIZE " +
          std::to_string(image.size()) + "u\n#endif\n\nconst uint8_t " + symbol + "_image[" +
          symbol + "_IMAGE_SIZE] = {";
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < image.size(); ++i) {
    text += i % 16 == 0 ? "\n   " : "";
    text += " 0x";
    text += kHex[image[i] >> 4];
    text += kHex[image[i] & 15];
    text += i + 1 < image.size() ? "," : "";
  }
  return text + "\n};\n";
}

std::string makeScratchFolder() {
  fs::path folder;
  if (!makeScratch(folder)) return {};
  const std::u8string text = folder.u8string();
  return std::string(text.begin(), text.end());
}

bool readWholeFile(const std::string& name, std::vector<std::uint8_t>& bytes) {
  return readWhole(pathOf(name), bytes);
}

int namePrompts(Console& console, std::span<const std::string> inputs, const Options& options,
                std::vector<PackPrompt>& prompts) {
  std::map<std::string, std::size_t> taken;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string& input = inputs[i];
    if (input == "-") return reportFailure(console, Failure::unnamedOutput, input);
    // A manifest's name, or the path's.
    const std::string id = i < options.prompts.size() && !options.prompts[i].name.empty()
                               ? cIdentifier(options.prompts[i].name, true)
                               : promptIdentifier(input, options.base);
    if (!taken.emplace(id, prompts.size()).second) {
      return reportFailure(console, Failure::sameName, id);
    }
    prompts.push_back({input, id, {}, Format::pcm16});
  }
  return 0;
}

int runPack(Console& console, const Command& command, const Options& options,
            std::span<const std::string> inputs) {
  if (inputs.empty()) return reportFailure(console, Failure::noInput, "");
  // Names first: a clash refuses the pack before anything is written.
  std::vector<PackPrompt> prompts;
  if (const int code = namePrompts(console, inputs, options, prompts); code != 0) return code;
  const int code = command.action == Action::pack ? readAll(console, prompts)
                                                  : encodeAll(console, command, options, prompts);
  if (code != 0) return code;
  return writePack(console, options, prompts);
}

int writePack(Console& console, const Options& options, const std::vector<PackPrompt>& prompts) {
  std::vector<std::string> identifiers;
  for (const PackPrompt& p : prompts)
    identifiers.push_back(p.identifier);
  std::vector<std::span<const std::uint8_t>> streams;
  for (const PackPrompt& p : prompts)
    streams.emplace_back(p.stream);
  const std::vector<std::uint8_t> image = buildImage(streams, options.align);
  if (image.empty()) return reportFailure(console, Failure::tooLong, options.pack);
  const std::uint32_t crc = loadLe32(&image[12]);
  const std::string symbol =
      options.symbol.empty() ? cIdentifier(fileStem(options.pack), false) : options.symbol;
  const std::string header =
      options.header.empty()
          ? std::string()
          : packHeaderText(symbol, prompts.size(), image.size(), crc, options.align, identifiers);
  const std::string source =
      options.cArray.empty()
          ? std::string()
          : packSourceText(
                symbol, options.header.empty() ? std::string() : fileName(options.header), image);
  const auto bytesOf = [](const std::string& s) {
    return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  std::vector<PackOutput> outputs;
  outputs.push_back({options.pack, image, {}});
  if (!options.header.empty()) outputs.push_back({options.header, bytesOf(header), {}});
  if (!options.cArray.empty()) outputs.push_back({options.cArray, bytesOf(source), {}});
  if (const int written = writeTogether(console, outputs); written != 0) return written;
  if (options.report != ReportForm::none) printPackReport(console, options, prompts, image, crc);
  return 0;
}

}  // namespace korvane
