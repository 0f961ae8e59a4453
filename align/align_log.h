// The lines the feature-based aligner writes on every run (one per photo with its transform, a
// summary, and one for each refinement the detector cannot solve). They go to standard error
// unless the program installs a sink of its own, as the driver does to show them between its
// progress reports or to silence them.
#pragma once

#include <functional>
#include <string>

using AlignLogSink = std::function<void(const std::string &line)>;

// Installs sink for every later line and returns the previous one; an empty sink restores
// standard error. Safe from any thread; lines reach the sink one at a time, and the sink must not
// install another.
AlignLogSink set_align_log_sink(AlignLogSink sink);

// Formats one line (the text ends with its newline) and hands it to the sink.
__attribute__((format(printf, 1, 2))) void align_log(const char *format, ...);
