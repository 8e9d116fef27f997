#include "app/batch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/conversion.h"
#include "app/messages.h"
#include "app/progress.h"
#include "app/report_rows.h"
#include "platform/platform.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

// What one conversion printed, kept until the ones before it are printed.
struct Result {
  std::vector<ReportRow> rows;  // where the rows are kept, not printed
  std::string out;
  std::string err;
  int code = 0;
  bool done = false;
};

fs::path pathOf(const std::string& name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

// With '/' between folders on every platform, so that messages and reports
// read the same everywhere (Windows takes '/' as well).
std::string nameOf(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::string batchOutputName(const Command& command, const std::string& folder,
                            const std::string& input, const std::string& base) {
  const fs::path given = pathOf(input);
  fs::path kept = given.lexically_normal();
  std::error_code failed;
  const fs::path below =
      base.empty() ? fs::path()
                   : fs::absolute(given, failed)
                         .lexically_normal()
                         .lexically_relative(fs::absolute(pathOf(base), failed).lexically_normal());
  if (!below.empty() && *below.begin() != ".." && below != ".") {
    kept = below;
  } else if (given.has_root_name() || given.has_root_directory() || kept.empty() ||
             *kept.begin() == ".." || kept == ".") {
    // Anything not below the current folder: absolute, and on Windows also
    // "\x" (root-relative) and "Z:x" (drive-relative), which a join to the
    // folder would otherwise put outside it.
    kept = given.filename();
  }
  return nameOf(pathOf(folder) / pathOf(outputNameFor(command, nameOf(kept))));
}

const Command& commandFor(const Command& command, const Options& options, std::size_t i) {
  if (i >= options.prompts.size() || options.prompts[i].format.empty()) return command;
  const Command* fixed = findCommand(options.prompts[i].format);
  return fixed != nullptr ? *fixed : command;
}

namespace {

// The folders above path that do not exist yet are made; each one made is
// added to made.
void makeFolders(const fs::path& folder, std::vector<fs::path>& made, std::mutex& mutex) {
  std::error_code failed;  // a folder that cannot be made fails the output as usual
  if (folder.empty() || fs::exists(folder, failed)) return;
  makeFolders(folder.parent_path(), made, mutex);
  if (fs::create_directory(folder, failed)) {
    std::lock_guard lock(mutex);
    made.push_back(folder);
  }
}

}  // namespace

int runBatch(Console& console, const Command& command, const Options& options,
             std::span<const std::string> inputs) {
  std::vector<std::string> outputs;
  std::map<std::string, std::size_t> taken;
  std::vector<FileIdentity> inputFiles;
  for (const std::string& input : inputs)
    inputFiles.push_back(identityOfName(input));
  for (std::size_t n = 0; n < inputs.size(); ++n) {
    const std::string& input = inputs[n];
    if (input == "-") return reportFailure(console, Failure::unnamedOutput, input);
    outputs.push_back(
        batchOutputName(commandFor(command, options, n), options.outDir, input, options.base));
    // An output that is one of the inputs would be replaced before it is read.
    const FileIdentity output = identityOfName(outputs.back());
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      if (!sameFile(output, inputFiles[k])) continue;
      const int code = reportFailure(console, Failure::outputIsInput, outputs.back(), false);
      say(console, Stream::err,
          "korvane: %s would replace the input %s; --out-dir=DIR keeps them apart\n",
          outputs.back().c_str(), inputs[k].c_str());
      return code;
    }
    const std::string key = nameKey(nameOf(pathOf(outputs.back()).lexically_normal()));
    if (const auto [at, added] = taken.emplace(key, outputs.size() - 1); !added) {
      const int code = reportFailure(console, Failure::sameOutput, outputs.back(), false);
      say(console, Stream::err,
          "korvane: %s and %s both make %s; --base=DIR keeps the folders below DIR\n",
          inputs[at->second].c_str(), input.c_str(), outputs.back().c_str());
      return code;
    }
  }

  std::vector<Result> results(inputs.size());
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};  // stdout failed: no new conversion begins
  std::vector<fs::path> madeFolders;
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < inputs.size();) {
      Result result;
      if (stop.load()) {
        result.done = true;
        std::lock_guard lock(mutex);
        results[i] = std::move(result);
        finished.notify_all();
        continue;
      }
      Console job;
      job.outText = &result.out;
      job.errText = &result.err;
      job.messagesToErr = console.messagesToErr;
      if (console.rows != nullptr) job.rows = &result.rows;
      job.keyWaitEnabled = false;
      makeFolders(pathOf(outputs[i]).parent_path(), madeFolders, mutex);
      result.code = convertFile(job, {commandFor(command, options, i), optionsFor(options, i),
                                      inputs[i], outputs[i], false});
      result.done = true;
      std::lock_guard lock(mutex);
      results[i] = std::move(result);
      finished.notify_all();
    }
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t threads = std::min<std::size_t>(
      {options.jobs ? options.jobs : cores, inputs.size(), kMostUnfinishedOutputs});
  std::vector<std::thread> pool;
  try {
    for (std::size_t t = 0; t < threads; ++t)
      pool.emplace_back(work);
  } catch (const std::system_error&) {
    // As many jobs as there are threads to be had; with none, on this one.
    if (pool.empty()) work();
  }

  EncodeProgress progress;
  std::unique_ptr<ProgressDisplay> display;
  if (console.showProgress && inputs.size() > 1) {
    display = std::make_unique<ProgressDisplay>(console.err, "converting", progress, inputs.size());
  }
  int code = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    Result result;
    {
      std::unique_lock lock(mutex);
      finished.wait(lock, [&] { return results[i].done; });
      result = std::move(results[i]);
    }
    if (console.rows != nullptr) {
      console.rows->insert(console.rows->end(), result.rows.begin(), result.rows.end());
    }
    if (!stop.load()) {
      say(console, Stream::out, "%s", result.out.c_str());
      say(console, Stream::err, "%s", result.err.c_str());
      // A closed pipe (| head) or a full disk under the rows ends the batch.
      if (!outReached(console)) stop.store(true);
    }
    code = std::max(code, result.code);
    progress.samplesDone.fetch_add(1, std::memory_order_relaxed);
  }
  for (std::thread& thread : pool)
    thread.join();
  // Folders this run made and left empty (their outputs failed) go again,
  // the deepest first.
  std::sort(madeFolders.begin(), madeFolders.end(), [](const fs::path& a, const fs::path& b) {
    return a.native().size() > b.native().size();
  });
  for (const fs::path& folder : madeFolders) {
    std::error_code ignored;
    fs::remove(folder, ignored);  // only where empty
  }
  if (stop.load()) {
    console.messagesToErr = true;  // stdout takes nothing more
    return std::max(code, reportFailure(console, Failure::cannotWrite, "standard output"));
  }
  return code;
}

}  // namespace korvane
