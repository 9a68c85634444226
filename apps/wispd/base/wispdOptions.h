// Command line of the daemon.
#pragma once

// Parses the options; prints the usage text (then usageNote, when given) and
// ends the process with status 0 for anything but "enablewisps".
void Wispd_ParseOptions(int argc, char **argv, bool *asyncEnable, const char *usageNote = nullptr);
