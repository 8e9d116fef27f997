#include "app/batch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "app/conversion.h"
#include "app/messages.h"
#include "app/progress.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

// What one conversion printed, kept until the ones before it are printed.
struct Result {
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
  } else if (!given.is_relative() || kept.empty() || *kept.begin() == ".." || kept == ".") {
    kept = given.filename();
  }
  return nameOf(pathOf(folder) / pathOf(outputNameFor(command, nameOf(kept))));
}

int runBatch(Console& console, const Command& command, const Options& options,
             std::span<const std::string> inputs) {
  std::vector<std::string> outputs;
  std::map<std::string, std::size_t> taken;
  for (const std::string& input : inputs) {
    if (input == "-") return reportFailure(console, Failure::unnamedOutput, input);
    outputs.push_back(batchOutputName(command, options.outDir, input, options.base));
    const std::string key = nameOf(pathOf(outputs.back()).lexically_normal());
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
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < inputs.size();) {
      Result result;
      Console job;
      job.outText = &result.out;
      job.errText = &result.err;
      job.messagesToErr = console.messagesToErr;
      job.keyWaitEnabled = false;
      std::error_code ignored;  // a folder that cannot be made fails the output as usual
      fs::create_directories(pathOf(outputs[i]).parent_path(), ignored);
      result.code = convertFile(job, {command, options, inputs[i], outputs[i], false});
      result.done = true;
      std::lock_guard lock(mutex);
      results[i] = std::move(result);
      finished.notify_all();
    }
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t threads =
      std::min<std::size_t>(options.jobs ? options.jobs : cores, inputs.size());
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < threads; ++t)
    pool.emplace_back(work);

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
    say(console, Stream::out, "%s", result.out.c_str());
    say(console, Stream::err, "%s", result.err.c_str());
    std::fflush(console.out);
    code = std::max(code, result.code);
    progress.samplesDone.fetch_add(1, std::memory_order_relaxed);
  }
  for (std::thread& thread : pool)
    thread.join();
  return code;
}

}  // namespace korvane
