#pragma once

namespace corvalog {

// Writes the calling thread's stack (at most 15 frames) to every sink, after a "Printing Trace:" line at DEVELOP.
void printTrace();

} // namespace corvalog
