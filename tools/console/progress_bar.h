// A file transfer's progress as a bar, driven by the transfer worker's
// progress word (0, the percentage sent, then -1 at the end).
#pragma once

#include <cstdint>
#include <string>

namespace ks318::tools {

class Console;

// "[##########··········]  50%"
std::string progressBar(int percent, int width = 40);

// Follows the word until it reads -1, drawing the bar: redrawn in place on a
// person's terminal, else a line at every further fifth. Returns the highest
// percentage seen. The word must stay valid until then (the worker writes it).
int followProgress(Console &console, std::int32_t *word);

}  // namespace ks318::tools
