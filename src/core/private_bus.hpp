#pragma once

#include <string>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GError GError;

namespace pelorn {

// A connection of our own to the system or session bus, not GIO's shared one, so the
// environment's address is read afresh (tests point it at buses of their own), and what a service
// keeps per connection (a compositor's remote-desktop session, a portal's requests) is ours alone.
// `address`, when given, names the bus. Null, with the error text, when there is none; the
// connection does not end the process when the bus goes away.
GDBusConnection* openPrivateBus(bool system, std::string& error, const std::string& address = {});

// The error's message ("unknown error" without one); the error is freed and cleared.
std::string takeMessage(GError*& error);

} // namespace pelorn
