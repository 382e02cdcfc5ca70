// dump.h -- renders a message body as one line of text from its table.
//
//   TABLE field=value field=value ...
//
// Integers are signed decimal; texts run up to their NUL (or the end of the
// field), with control bytes, '\' and DEL written as \xNN so that the text
// stays on one line.  A request table (extra request=1) renders as its name
// alone: its fields may hold passwords.
#ifndef SIM_COMMON_DUMP_H
#define SIM_COMMON_DUMP_H

#include <cstddef>
#include <string>

#include "scheme.h"

namespace qova::dump {

// Renders `body` (`size` bytes) as `table` lays it out.  Returns false when
// the body is shorter than the table says; then nothing is read.
bool renderBody(const scheme::Table& table, const void* body, std::size_t size, std::string& out);

// Copies `text` into `buffer` of `*size` bytes, cutting it if needed, and
// always NUL-terminates it when `*size` > 0.  On return `*size` is the length
// written (without the NUL).  Returns false when the text was cut.
bool copyTerminated(const std::string& text, char* buffer, std::size_t* size);

}  // namespace qova::dump

#endif  // SIM_COMMON_DUMP_H
