// Process entry: start-up, the poll loop and the ending sequence.
#pragma once

#include <stddef.h>

// Returns the exit status.
int Wispd_Main(int argc, char **argv);
// The same start-up with the logger and self-test agents; the self-test ends
// the process with its failure count.
int Wispd_SelfTestMain(int argc, char **argv);

constexpr size_t WISP_BUFFER_INITIAL = 8192;
constexpr size_t WISP_BUFFER_MAX = 131072;
// The next size of the wisp buffer after a too-large read.
size_t Wispd_GrowBufferSize(size_t size);
