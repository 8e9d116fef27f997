// --review=PAGE.html: one page to hear and see what the device will play, worst
// prompts first, with the files it plays in PAGE.files/ beside it. It needs
// nothing but a browser: no network, no external resource, from file:// and
// from a zip sent on; the same inputs give the same bytes.
#pragma once

#include <string>
#include <vector>

#include "app/console.h"
#include "app/options.h"
#include "app/report_rows.h"

namespace korvane {

// Text made safe inside HTML elements and quoted attributes.
[[nodiscard]] std::string htmlEscaped(const std::string& text);

// Writes the page of the rows of a run (in input order, failed ones too);
// returns the exit code.
[[nodiscard]] int writeReview(Console& console, const Options& options,
                              const std::vector<ReportRow>& rows);

// The rows' report as the user asked for it (the rows were kept for the page).
void printKeptRows(Console& console, const Options& options, const std::vector<ReportRow>& rows);

}  // namespace korvane
