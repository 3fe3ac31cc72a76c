// The miniport's SIO layer as the host interface's character devices see it: a character port
// registers its sio_device when it is initialised and withdraws it when it is torn down.
#pragma once

#include "kal.h"

struct sio_device;

// Registers a port function for the device numbered `minor`: 0 (also when the port's name maps to no
// function), -12 (no memory) or -1 (the record's queues could not be made). C linkage: tests that
// record registrations take both over at link time.
extern "C" int sio_add(struct sio_device* sio, u32 minor, u32 value);
// Deactivates the port function of `sio`, if it has one, and clears the back pointer.
extern "C" void sio_delete(struct sio_device* sio);
