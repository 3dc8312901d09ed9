// The statistics of a session, computed once per recorded run: for every
// metric of a program on a device, each target's figures and the
// comparisons between targets, kept in the session's rows.
#pragma once

#include "session.h"

#include <string>
#include <vector>

// The values of a metric over the counted runs of a program, device and
// target.
std::vector<double> stats_values(const session& s, const std::string& program, const std::string& path,
                                 run_target target, const std::string& metric);

// The counted runs of a program on a device and target.
std::size_t stats_counted(const session& s, const std::string& program, const std::string& path, run_target target);

// The stop rule's target for a program's figures under the session's options.
spread_target stats_spread_target(const session& s, const std::string& program);

// Recomputes the rows from the runs, in the order the runs came: program,
// device, then the metrics in the order reported (Sierpinski levels by
// points).
void stats_rows_update(session& s);
