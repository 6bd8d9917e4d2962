#pragma once
// Server link: session, receive cycle, own-position broadcast.
#include <string>

// Opens both sockets and logs in; returns tcpconnected after the attempt.
int ConnectToServer();
// Logs out and closes both sockets; always returns 1.
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
