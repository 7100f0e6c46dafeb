#pragma once
// TCP ports of the loopback for servers that end-to-end tests start (ser2net,
// conserver): one chosen free at run time, and whether a server listens.

// A port of 127.0.0.1 that nobody listens on now.
int FreePort();
// True when a server accepts connections on 127.0.0.1 at the port.
bool Listening(int port);
