#pragma once
// Server link: session, receive cycle, own-position broadcast.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// Starts connecting to the server the preferences name (the one built in when they name none),
// unless a session is open or starting; returns tcpconnected (1 only when the connect completed at
// once). A name is looked up first. Nothing here waits for the network.
int ConnectToServer();
// Opens both sockets, of the address's family, and starts the stream's connect to it; a connect
// that completes at once logs in at once, otherwise AdvanceConnect finishes it.
void BeginConnect(const sockaddr_storage &address, socklen_t length);
// Every receive run: a finished lookup starts the connect to the first of its addresses; a
// connect that completed logs in (the session opens); one that failed or is still waiting after
// 3 s is given up and the next address is tried. When none is left the pilot is told why.
void AdvanceConnect();
// Sends the login and opens the session; false, with the sockets closed, when the send failed.
bool FinishConnect();
// Logs out and closes both sockets, or gives up a lookup or connect in progress; always returns 1.
int DisconnectFromServer();
// The receive cycle found the stream ended by the server (no error) or broken: the session ends
// and the pilot is told.
void ServerEndedSession(const platform::Error &error);
// The server in use or being connected: "name (address)", the address alone when it was given as
// one, the name alone before its lookup ends.
std::string ServerShown();

// Flight loop: model and callsign announcements (10 s while connected, 1 s otherwise).
float SkytetherProcessAirplaneCallback(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                       int inCounter, void *inRefcon);
// Flight loop: drains both sockets every 0.03 s.
float SkytetherPacketProcess(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                             int inCounter, void *inRefcon);
// Flight loop, every frame (returns -1): one position datagram per frame while connected.
float SkytetherDrawPlanes(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop, int inCounter,
                          void *inRefcon);

// The model path with "/" turned into the host's directory separator.
std::string ReplaceSeparators(std::string path);

// Sends a complete stream line to the server; the result goes to status. Lines go whole or not
// at all: what a full stream does not take waits, in order, up to 64 KiB. Must only be called
// while tcpconnected is 1.
void SendStreamLine(const std::string &line);
// Sends what is waiting of earlier lines, as far as the stream takes it.
void FlushStreamLines();
