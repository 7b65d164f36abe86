// The echo on standard output: one line per nibble pair, and pelkron2's read
// lines. The upload is the programs' job and the echo is its report, so an
// echo that cannot be written (a closed pipe, a full disk) never stops the
// upload: we stop echoing, finish the transfer and say so once at the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/nibble.h"

// Writes one line (with its line end) and flushes it at once, so that the
// echo keeps up with the wire in a pipe or a log too.
void echo_line(const char* text, std::size_t length);

// "hh ll": the pair that went out.
void echo_pair(NibblePair pair);

// "c - bb": a read's byte count and the transfer buffer.
void echo_read(std::uint32_t count, unsigned char buffer);

// Whether every line so far has been written, and if not, why (an errno).
bool echo_complete();
int echo_error();
