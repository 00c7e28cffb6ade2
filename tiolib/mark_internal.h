// The engine's side of the writer marks (writer_mark.cpp); not exported.
#pragma once

#include "tio.h"

namespace tio {

// Marks the ".det" file at det_path as being recorded by this process, its content synced
// (the directory entry becomes durable with the ".det" file's directory sync). False after
// one line naming the mark.
bool set_writer_mark(const char *det_path);

// As set_writer_mark, unless the mark already names this process as a live writer;
// *marked_now says whether it wrote the mark.
bool keep_writer_mark(const char *det_path, bool *marked_now);

// Removes the mark of a finalised recording and syncs its directory; a missing mark is
// fine. False after one line.
bool remove_writer_mark(const char *det_path);

// The marks a handle set and has not finalised: tio_close marks them "closed", so that a
// recording left unfinalised reads as interrupted while the process lives on.
void note_handle_mark(const TioHandle *handle, const char *det_path);
void forget_handle_mark(const TioHandle *handle, const char *det_path);
void close_handle_marks(const TioHandle *handle);

}  // namespace tio
