#pragma once
// A new file the program writes into a folder it shares with others (an export folder, where a second
// copy of the program may export at the same moment): never written over a file another program put
// there after the name was chosen, and never left half-written under its final name.

#include <QString>

#include <functional>

namespace platform {

// `write` makes the file at the partial path it is given (an empty file beside `target`, made by this
// process); the file then takes target's name, or the next free one ("_2", "_3", ... before the
// extension) when another program took that name meanwhile. The path it took; empty when write
// returned false (nothing to keep) or no name could be given (why in *why). Nothing is left at the
// partial path either way.
QString writeUnderFreeName(const QString& target, const std::function<bool(const QString& partial)>& write,
                           QString* why = nullptr);

} // namespace platform
