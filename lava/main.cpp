// fbbench-lava: a results file as LAVA test cases, or as a block of text in
// the job's log that fbbench-lava-results recovers on the host.
#include "lava_cases.h"
#include "lava_tool.h"

#include <cstdio>

namespace {

const char usage[] = "usage: fbbench-lava [--status N] RESULTS\n"
                     "       fbbench-lava --emit [--status N] [--name NAME] RESULTS\n";

const char option_help[] =
    "Prints a results file's LAVA test cases, one a line: NAME RESULT [MEASUREMENT UNITS];\n"
    "or, with --emit, the whole file as a block of base64 lines for the job's log.\n"
    "\n"
    "      --status N    fbbench's exit status (0)\n"
    "      --emit        the block, in place of the cases\n"
    "      --name NAME   the block's name (the file's, less .json)\n"
    "  -h, --help        this help\n";

bool write_all(const std::string& text, std::FILE* to)
{
    return std::fwrite(text.data(), 1, text.size(), to) == text.size() && std::fflush(to) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    lava_options options;
    bool help = false;
    std::string error;
    if (!lava_options_parse(argc, argv, options, help, error)) {
        std::fprintf(stderr, "fbbench-lava: %s\n%s", lava_line_text(error).c_str(), usage);
        return 2;
    }
    if (help) {
        std::printf("%s\n%s", usage, option_help);
        return 0;
    }
    std::string out;
    const int status = lava_run(options, out, error);
    if (!write_all(out, stdout)) {
        std::fprintf(stderr, "fbbench-lava: cannot write to standard output\n");
        return 1;
    }
    if (status != 0)
        std::fprintf(stderr, "fbbench-lava: %s\n", lava_line_text(error).c_str());
    return status;
}
