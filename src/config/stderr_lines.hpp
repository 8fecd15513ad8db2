// Progress lines on standard error, rewritten in place with '\r', for callers without hooks; a
// warning written meanwhile first ends the open line, so it never lands at the end of a progress line.
#pragma once

namespace nvx {

// Writes "\r" + text and leaves the line open (the next progress line overwrites it).
void stderr_progress(const char* text);
// Ends an open progress line with a newline; nothing when none is open.
void stderr_progress_end();
// Writes a whole line (text + '\n'), ending an open progress line first.
void stderr_line(const char* text);

}  // namespace nvx
