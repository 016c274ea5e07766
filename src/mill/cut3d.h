#pragma once
// "Резать 3D": gradient, offset and parse, then passes of ("Все", four offsets, parse) while the tree has
// nodes. Each step is the same operation its own button runs. The sequence also ends after the parse of a
// pass whose four offsets changed nothing: such a picture would give the same pass again and again.

#include "mill_commands.h"

namespace zelmar {

MillCommandResult cut3D(ImageSession& session, ToolPosition& tool, MillingHost& host, MillIndexCache& cache);

} // namespace zelmar
