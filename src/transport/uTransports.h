// Program start and end of the transport layer: the trace switches and the
// registration of every transport class with the provider factory.
#pragma once

// Scans the arguments (the program path included) for the trace switches and
// registers the providers in the order serial port, USB adapter, TCP client.
// A second call before DoneTransports does nothing.
void InitTransports(int argc, char** argv);

// Unregisters what InitTransports registered and switches the trace off.
void DoneTransports();
