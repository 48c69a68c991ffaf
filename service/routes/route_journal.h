// The admin bypass host routes on disk, so that a process that ends without
// its clean-up (a crash, a kill, a power cut) leaves nothing in the table for
// ever: "%ProgramData%\Quorvane\state\bypass-routes.journal", protected as
// the tunnels folder, replaced atomically. A route is journalled before it is
// added and dropped once it is deleted; the next connect, disconnect or
// automatic stop removes the routes an earlier process left.
#pragma once

#include <string>
#include <vector>

#include "platform/ip_routes.h"

namespace quorvane {

// In the service's "state" folder.
constexpr wchar_t kRouteJournalName[] = L"bypass-routes.journal";

struct RouteJournal {
  bool present = false;   // the file exists
  bool readable = true;   // it could be read and every line understood
  std::string error;      // why not
  std::vector<platform::ForwardRow> rows;
};

RouteJournal ReadRouteJournal();

// Records |row| before it is created. False (nothing to be added then) when
// the journal cannot be read or written: a route that no journal holds could
// outlive a crash.
bool JournalRoute(const platform::ForwardRow& row, std::string* error);

// Drops |row| once it is gone (deleted, or never made).
void UnjournalRoute(const platform::ForwardRow& row);

// Removes every journalled route of an earlier process (one this process did
// not add) that still stands in the table exactly as recorded, and only
// those, then drops them all from the journal. A journal that cannot be read
// is left in place. Returns a line for the log ("" when there was nothing).
std::string CleanUpEarlierRoutes();

// "203.0.113.7/32->192.0.2.1@if7:metric=26", as journalled.
std::string JournalRouteText(const platform::ForwardRow& row);

}  // namespace quorvane
