#include "lava_tool.h"

#include "digits.h"
#include "lava_cases.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t file_limit = 64u << 20;

// The block's name: the file's, less .json, with anything but letters,
// digits, '.', '_' and '-' made '_', as is a leading '.' or '-'.
std::string block_name(const lava_options& options)
{
    if (!options.name.empty())
        return options.name;
    std::string name = options.results.substr(options.results.rfind('/') + 1);
    if (name.size() > 5 && name.ends_with(".json"))
        name.resize(name.size() - 5);
    name.resize(std::min(name.size(), lava_block_name_limit));
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!lava_block_name_char(name[i], i == 0))
            name[i] = '_';
    return name.empty() ? "results" : name;
}

} // namespace

bool lava_options_parse(int argc, char** argv, lava_options& options, bool& help, std::string& error)
{
    static const option long_options[] = {
        {"status", required_argument, nullptr, 's'},
        {"name", required_argument, nullptr, 'n'},
        {"emit", no_argument, nullptr, 'e'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    help = false;
    optind = 0;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, ":h", long_options, nullptr);
        if (c == -1)
            break;
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
        case 's': {
            int status = -1;
            if (!digits_parse(value, status) || status > 255) {
                error = "--status wants an exit status, 0 to 255, not \"" + value + "\"";
                return false;
            }
            options.status = status;
            break;
        }
        case 'n':
            if (value.size() > lava_block_name_limit) {
                error = "--name is longer than " + std::to_string(lava_block_name_limit) + " characters";
                return false;
            }
            if (!lava_block_name_valid(value)) {
                error = "--name wants letters, digits and '_', with '.' and '-' after the first, not \"" + value + "\"";
                return false;
            }
            options.name = value;
            break;
        case 'e':
            options.emit = true;
            break;
        case 'h':
            help = true;
            return true;
        case ':':
            error = std::string("option ") + argv[optind - 1] + " wants a value";
            return false;
        default:
            error = std::string("unknown option ") + argv[optind - 1];
            return false;
        }
    }
    if (argc - optind != 1) {
        error = argc - optind == 0 ? "no results file given" : "one results file only";
        return false;
    }
    options.results = argv[optind];
    return true;
}

bool lava_file_read(const std::string& path, std::string& content, std::string& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int saved = errno;
        close(fd);
        error = "cannot read " + path + ": " + (S_ISREG(st.st_mode) ? std::strerror(saved) : "not a regular file");
        return false;
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int saved = errno;
            close(fd);
            error = "cannot read " + path + ": " + std::strerror(saved);
            return false;
        }
        if (n == 0)
            break;
        if (content.size() + static_cast<std::size_t>(n) > file_limit) {
            close(fd);
            error = path + " is larger than 64 MiB: no results file is";
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

int lava_run(const lava_options& options, std::string& out, std::string& error)
{
    const std::string name = block_name(options);
    std::string content;
    bool usable = lava_file_read(options.results, content, error);
    nlohmann::json results;
    if (usable) {
        results = nlohmann::json::parse(content, nullptr, false);
        if (results.is_discarded()) {
            error = options.results + " is not JSON";
            usable = false;
        }
    }
    std::vector<lava_case> cases;
    if (usable) {
        try {
            cases = lava_cases_make(results, options.status);
        } catch (const std::runtime_error& e) {
            error = options.results + ": " + e.what();
            usable = false;
        } catch (const nlohmann::json::exception& e) {
            // A type lava_cases_make did not check: still a failed case.
            error = options.results + ": not a results file: " + e.what();
            usable = false;
        }
    }
    if (!usable) {
        lava_case failed;
        failed.name = "fbbench";
        failed.result = "fail";
        out = options.emit ? lava_block_missing(name, options.status, error) : lava_cases_format({failed});
        return 1;
    }
    out = options.emit ? lava_block_make(name, options.status, content) : lava_cases_format(cases);
    return 0;
}
