// Deleting a file now, or, when Windows won't let it go yet (a program running from it, a
// handle still open), at the next restart.
#pragma once

enum class FileDeletion { gone, at_restart, stayed };

// Deletes the file, read-only or not; one that can't be deleted now is scheduled for the
// restart, and with `until_restart` it is scheduled straight away.  A file that isn't there is
// gone.  Nothing is reported: the caller names what became of it.
FileDeletion delete_or_schedule(const char* path, bool until_restart);
