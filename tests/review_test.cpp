// The review page of a batch with an awkward name and a failed input: every
// player's file is there and a WAV file, names are escaped, and a browser
// loads it without a script error, worst first and sorted as asked.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "app/review.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

std::string textOf(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The data-name of each row, in the order the text holds them.
std::vector<std::string> rowNames(const std::string& html) {
  std::vector<std::string> names;
  const std::regex row("<tr[^>]*data-name=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), row); it != std::sregex_iterator();
       ++it) {
    names.push_back((*it)[1]);
  }
  return names;
}

TEST(Review, APageOfEveryInputWorstFirst) {
  EXPECT_EQ(htmlEscaped("a<b&\"c'>"), "a&lt;b&amp;&quot;c&#39;&gt;");
  TempDir dir;
  // Louder noise codes worse: "loud" is the worst of the three that convert.
  const std::string odd = test::kPlatform.expandsWildcards ? "a&b'c.wav" : "a<b&\"c\".wav";
  const std::vector<std::pair<std::string, std::uint32_t>> prompts = {
      {"quiet.wav", 4}, {odd, 3}, {"loud.wav", 5}};
  for (const auto& [name, seed] : prompts) {
    std::vector<std::int32_t> samples = test::speechLikeSamples(1000 * seed, seed);
    for (std::size_t i = 0; i < samples.size(); i += 2)
      samples[i] =
          std::clamp<std::int32_t>(samples[i] + (name == "loud.wav" ? 9000 : 0), -32768, 32767);
    writeFile(dir.path / fs::path(std::u8string(name.begin(), name.end())),
              test::makeWave16(samples, 8000));
  }
  writeFile(dir / "bad.wav", {'R', 'I', 'F', 'X'});
  const test::RunResult r = runProgram(
      {"-E3", "--out-dir=out", "--review=page.html", "quiet.wav", odd, "loud.wav", "bad.wav"},
      {dir.path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "bad.wav : is not RIFF format!\n");
  const std::string html = textOf(readFile(dir / "page.html"));
  const std::string oddShown = htmlEscaped(odd);
  ASSERT_EQ(rowNames(html).size(), 4u);
  EXPECT_EQ(rowNames(html)[0], "bad.wav");
  EXPECT_EQ(rowNames(html)[1], "loud.wav");
  EXPECT_NE(html.find("<td data-v=\"" + oddShown + "\">" + oddShown + "</td>"), std::string::npos);
  EXPECT_EQ(html.find(odd), std::string::npos);     // never as it stands
  EXPECT_EQ(html.find("http"), std::string::npos);  // nothing from outside

  const std::regex source("src=\"([^\"]+)\"");
  int players = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), source);
       it != std::sregex_iterator(); ++it, ++players) {
    const Bytes wave = readFile(dir / (*it)[1].str());
    ASSERT_GT(wave.size(), 44u) << (*it)[1];
    EXPECT_EQ(textOf(Bytes(wave.begin(), wave.begin() + 4)), "RIFF");
    EXPECT_EQ(textOf(Bytes(wave.begin() + 8, wave.begin() + 12)), "WAVE");
  }
  EXPECT_EQ(players, 6);
  // The same run again gives the same page.
  ASSERT_EQ(runProgram({"-E3", "--out-dir=out", "--review=again.html", "quiet.wav", odd, "loud.wav",
                        "bad.wav"},
                       {dir.path})
                .exitCode,
            1);
  std::string again = textOf(readFile(dir / "again.html"));
  EXPECT_EQ(std::regex_replace(again, std::regex("again\\.files"), "page.files"), html);

  // In a browser: the script runs to its end, and sorts by bytes when asked.
  if (!test::kPlatform.signals || std::system("chromium --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no headless chromium here";
  }
  const std::string dump = (dir / "dom.html").string();
  const std::string command = "chromium --headless --no-sandbox --disable-gpu --dump-dom 'file://" +
                              (dir / "page.html").string() + "#sort=2' >'" + dump + "' 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string dom = textOf(readFile(dump));
  const std::string body =
      dom.substr(dom.find("<body"), dom.find('>', dom.find("<body")) - dom.find("<body"));
  EXPECT_NE(body.find("data-ready=\"yes\""), std::string::npos) << body;
  EXPECT_EQ(body.find("data-error"), std::string::npos) << body;
  const std::vector<std::string> sorted = rowNames(dom);
  ASSERT_EQ(sorted.size(), 4u);
  EXPECT_EQ(sorted[0], "bad.wav");  // no bytes first
  EXPECT_EQ(sorted[2], "quiet.wav");
  EXPECT_EQ(sorted[3], "loud.wav");
}

}  // namespace
}  // namespace korvane
