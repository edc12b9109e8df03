// Reading JSON texts: the engine's reports, the service's request bodies and
// its answers to the command line.
#ifndef VANTOREL_UPTIME_HOST_JSON_INPUT_H
#define VANTOREL_UPTIME_HOST_JSON_INPUT_H

#include <string_view>

#include <rapidjson/document.h>

namespace host {

// Parses text into doc. Numbers are converted with std::from_chars, never
// by RapidJSON: its full-precision conversion crashes on some subnormal
// numbers (a request body or a recorded latency can hold one), and its fast
// one misreads numbers near the ends of the double range. A number beyond
// the double range fails the parse with kParseErrorTermination; one too small
// for a double reads as zero. Strings must be valid UTF-8.
rapidjson::ParseResult parse_json(std::string_view text, rapidjson::Document &doc);

}  // namespace host

#endif
