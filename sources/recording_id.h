// What identifies a recording across runs without its size or modification time (a recording
// still being written grows): its file name and a hash of its first bytes, which hold its header
// (with its start time) and the start of its first frame.
#pragma once

#include <string>

// "night.ser fnv1a64:0123456789abcdef": the file name of `path` and the FNV-1a hash of its first
// MiB (for a SER file the frame count in its header is left out, as it grows while recording);
// for a folder of frame files, its name and the id of its first file by name.
// Empty with `error` when the file cannot be read; a FIFO or device is refused without waiting.
std::string recording_id(const std::string& path, std::string* error);
