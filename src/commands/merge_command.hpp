// `strataperm merge DIR`: the shards of a run (DIR/shards/K-of-S/) made into
// exactly what the whole run writes.
#pragma once

#include <string>
#include <vector>

namespace strataperm {

// The words after "merge"; returns the exit status. Throws Error: a missing
// shard, a shard of another run, or one that is unfinished is an error naming
// it, and then nothing is written.
int run_merge(const std::vector<std::string>& args);

}  // namespace strataperm
