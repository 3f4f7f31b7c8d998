// The leftovers of a run as a SARIF 2.1.0 log, the format that CI systems
// read to show findings beside the code: one rule per reason a leftover can
// have, one result per leftover with its file, line, column, text and reason.
// Paths inside the project's folder are relative to it, through the URI base
// PROJECTROOT; others are absolute file URIs.
#pragma once

#include <string>
#include <string_view>

#include "disk.h"
#include "report.h"

namespace kv {

// The id of the URI base that stands for the project's folder.
inline constexpr std::string_view kSarifProjectRoot = "PROJECTROOT";

// The SARIF log of `record`'s leftovers. `disk` finds the project's folder
// (as the leftover scan found it) and the absolute forms of paths; `tool` and
// `version` name the program that made the log.
std::string RunRecordSarif(const RunRecord& record, Disk& disk, std::string_view tool,
                           std::string_view version);

// `path` as a URI reference: each byte outside the unreserved characters
// and "/" percent-encoded ("\" counts as "/"); with `absolute`, a file URI
// ("file:///C:/x" for a Windows drive path).
std::string PathUri(std::string_view path, bool absolute);

}  // namespace kv
