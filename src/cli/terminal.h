#pragma once
// Whether a person is watching: progress lines go to standard error only when it is a terminal.

namespace zelmar::cli {

bool standardErrorIsTerminal();

} // namespace zelmar::cli
