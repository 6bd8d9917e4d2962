#pragma once
// Server link: session, receive cycle, own-position broadcast.
#include <string>

#include <netinet/in.h>

// Starts connecting to the server built in, unless a session is open or starting; returns
// tcpconnected (1 only when the connect completed at once). Nothing here waits for the network.
int ConnectToServer();
// Opens both sockets and starts the stream's connect to address; a connect that completes at once
// logs in at once, otherwise AdvanceConnect finishes it.
void BeginConnect(const sockaddr_in &address);
// Every receive run: a connect in progress that completed logs in (the session opens), one that
// failed or is still waiting after 3 s is given up and its sockets closed.
void AdvanceConnect();
// Sends the login and opens the session; on a failed send the sockets close.
void FinishConnect();
// Logs out and closes both sockets, or gives up a connect in progress; always returns 1.
int DisconnectFromServer();

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
