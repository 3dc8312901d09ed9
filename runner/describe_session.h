// What a run of fbbench measured: the machine, before and after the runs,
// and each device with its mapping, gathered into the session.
#pragma once

#include "describe.h"
#include "session.h"

#include <cstdio>
#include <filesystem>

// Describes the machine (its load average, its cpufreq governors) and each
// device before the runs; the mapping probes run unless the options say not.
// A device whose screen query (s.screens) failed is recorded with its error. Returns the
// sample of the machine's state to compare after the runs.
system_sample session_describe(session& s, const std::filesystem::path& root);

// Compares the machine's state after the runs with that before.
void session_describe_after(session& s, const std::filesystem::path& root, const system_sample& before);

// The short description printed above the table.
void session_header_print(std::FILE* out, const session& s);
