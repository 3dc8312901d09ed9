// A results file as LAVA test cases, and the file itself as a block of text
// that survives a serial console and a job log, to be recovered on the host.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One LAVA test case: lava-test-case NAME --result RESULT
// [--measurement MEASUREMENT --units UNITS]. Names and units hold no blanks.
struct lava_case {
    std::string name;
    std::string result; // "pass", "fail" or "skip"
    std::string measurement; // empty: none
    std::string units;
};

// Every case of a results file, in a stable order: fbbench itself (pass when
// it exited with status 0 and the file is complete), the description, each
// benchmark's runs and figures, the frames each device presented
// (presented-fps in frames/s, missed-vblanks in vblanks), then the warnings. status is fbbench's exit
// status. Throws std::runtime_error, with one line, on a file that is not a
// results file.
std::vector<lava_case> lava_cases_make(const nlohmann::json& results, int status);

// "NAME RESULT [MEASUREMENT UNITS]\n" per case, for a shell's read.
std::string lava_cases_format(const std::vector<lava_case>& cases);

// A case name's part: lower case letters, digits and single '-'.
std::string lava_name_part(std::string_view text);

// The block that carries a results file through the log:
//   FBBENCH-RESULTS-BEGIN name=NAME status=N bytes=N crc32=XXXXXXXX
//   base64, 76 characters a line
//   FBBENCH-RESULTS-END name=NAME
// NAME is a valid block name (lava_block_name_valid).
std::string lava_block_make(const std::string& name, int status, std::string_view content);

// In place of the block when fbbench left no file to send: one line,
// whatever the reason holds.
std::string lava_block_missing(const std::string& name, int status, const std::string& reason);

// The text as one line of the job's log: control characters escaped (\n,
// \x1b), and no block marker inside it.
std::string lava_line_text(const std::string& text);

// A block's name becomes the recovered file's, NAME.json: letters, digits,
// '.', '_' and '-', not beginning with '.' or '-', at most 200 characters.
constexpr std::size_t lava_block_name_limit = 200;
bool lava_block_name_valid(std::string_view name);
bool lava_block_name_char(char c, bool first);

std::string lava_base64(std::string_view data);
std::uint32_t lava_crc32(std::string_view data);
