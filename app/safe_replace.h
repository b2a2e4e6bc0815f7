// Putting a file in place safely, for the read-out, the raw dumps and the -backup
// copy: the new content is written in full to a new temporary of a hard-to-guess
// name in the same folder, and only then put in place of the old file in one step.
#pragma once

#include <cstdio>

// Writes a file in full to a new temporary in the same folder, through write (which
// closes the file and says whether everything reached it), and then puts it in place
// of name in one step, so that a failure never costs the technician a good file and
// nothing planted at a name is written through. False when the file was not replaced;
// the temporary is then gone again. A rename or removal that fails as a file held
// for a moment by a scanner or indexer is tried again for about a second.
bool ReplaceThroughTemporaryWith(const wchar_t* name, bool (*write)(std::FILE*, void*),
                                 void* context);

// The same with any callable bool(std::FILE*) as the writer.
template <typename Write>
bool ReplaceThroughTemporary(const wchar_t* name, Write write) {
    return ReplaceThroughTemporaryWith(
        name, [](std::FILE* file, void* context) { return (*static_cast<Write*>(context))(file); },
        &write);
}
