// The results file, an output of the session beside the table and the
// console: the whole session as JSON, written in place of the file after
// every run, so that it always holds a whole text.
#pragma once

#include "session.h"
#include "unique_fd.h"

#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>

// The machine's and a device's description as the file records them.
nlohmann::json system_description_json(const system_description& system);
nlohmann::json device_description_json(const device_description& device);
// A run's presented record: the counts, the timestamps and, without fault,
// the figures; with one, "dropped" names it.
nlohmann::json presented_json(const presented_record& record, std::optional<double> refresh_hz);
// The whole results file, finished at the given UTC time.
nlohmann::json results_json(const session& s, const std::string& finished);

// The schema of every results file begins so; the version follows.
inline constexpr char results_schema_family[] = "fbbench-results/";

// The results file for the whole session. The path is walked a part at a
// time, each link followed by fbbench itself under the kernel's rule for
// protected links whatever fs.protected_symlinks says (none that another
// user planted in a sticky folder open to all); every write then replaces
// the file it found, in the folder it found it in.
struct results_output {
    std::string path; // as given, or the default name taken, for messages
    unique_fd fd; // the file now in place, locked against a second session; none until the first write places one
    unique_fd dir_fd; // the folder that holds it
    std::string name; // its name there
    std::string stem; // for a default name: the first write takes stem.json, else stem-2.json and so on
    // An earlier session's results file stands there, kept until this
    // session has something of its own to put in its place.
    bool earlier = false;
    mode_t new_mode = 0644; // a new file's mode, as open would give it
};

// Finds the file for path, creating nothing: a missing file is placed by
// the first write. Refuses a path that is, or names, anything but a regular
// file (a device node, FIFO, socket or folder) without opening it, a
// non-empty file that is not a results file, a file another session has
// locked, and a link that another user planted. An existing results file
// is locked and marked earlier, unless force. Returns 0, or the exit status
// (2 for those refusals, 1 when the path cannot be walked) with error set
// to one line; nothing stays open then.
int results_output_open(results_output& output, const std::string& path, bool force, std::string& error);

// A new file named stem.json in the current folder, or stem-2.json,
// stem-3.json and so on when that exists at the first write, so that
// sessions started in the same second never share one. Returns as
// results_output_open.
int results_output_create(results_output& output, const std::string& stem, std::string& error);

// Writes text to a temporary file beside the file and renames it over it,
// or links it in as the new file at the first write, so that the file
// always holds a whole text, then syncs the folder; the new file keeps the
// old one's mode, and its owner where this process may set it, and takes
// over the lock. Refuses to replace anything that is no longer the file
// opened, and any file that took a new file's name meanwhile. The temporary
// file is gone on every return. False with error set to one line on
// failure.
bool results_file_write(results_output& output, const std::string& text, std::string& error);

// Writes text to a temporary file beside the file and removes it, leaving
// the file as it is: finds a folder or disk that would refuse the file.
bool results_file_try(const results_output& output, const std::string& text, std::string& error);

// Removes the temporary files that sessions of this user killed mid-write
// left in the file's folder: those of the temporary name's pattern, owned
// by this user, made before the call, and locked by no session.
void results_leftovers_remove(const results_output& output);

// Writes the session's file: in place of the file, or only tried beside an
// earlier session's results until this one has something of its own (a run
// that ended, or a finished description). False with error set to one line.
bool results_file_save(const session& s, results_output& output, std::string& error);

// The current UTC time, ISO 8601 ("2026-12-08T17:40:00Z").
std::string utc_now_iso();
