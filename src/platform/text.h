// Splitting text held in memory into parts, without copying it. A separator at the very end
// ends the last part (no empty part follows it). The views point into `text`. Thread-safe.
#pragma once

#include <string_view>
#include <vector>

std::vector<std::string_view> SplitView(std::string_view text, char separator);
