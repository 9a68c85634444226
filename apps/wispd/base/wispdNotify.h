// Readiness and stopping for a service manager that sets NOTIFY_SOCKET.
#pragma once

// Sends state ("READY=1", "STOPPING=1") to $NOTIFY_SOCKET; nothing happens
// when it is unset. Abstract addresses start with '@'.
void Notify_Send(const char *state);
