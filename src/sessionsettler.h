#pragma once

#include <QString>

// Settles what killed or failed runs of this user left for one installation, before a run plans anything.
// Those runs' session directories lie in the temporary directory; each one whose "update.ini" names this
// installation, which is this user's own private directory, and whose lock no live run holds, gets its
// install journal settled (a committed one finished, any other undone), and is then removed. Nothing here
// needs the network. A session whose journal is refused stays, with everything it names.
class SessionSettler
{
public:
    // keep: the session this run continues (its journal is settled, the directory stays); may be empty.
    // Returns how many sessions were removed.
    static int settleStaleSessions(const QString &installDir, const QString &keep);
};
