#pragma once
// The server's own pages (the browser player), kept apart from the user's document root.

#include <string>

// The directory holding "player/": $DABSERVER_ASSETS when set, else "share/dabserver" beside
// the executable (a build tree), else the installed data directory. Empty when none exists.
std::string asset_dir();
