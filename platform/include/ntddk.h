// Kernel-mode driver interfaces: the executive plus what full drivers add.
#pragma once

#include <wdm.h>
