// The modem side's life-cycle hooks and the SIM and radio state of the one executor.
#pragma once

#include <stdint.h>

// SIM state 7, radio state 0, one executor. 0.
int modem_init(uint32_t* numofexecutors);
int module_init(uint32_t* numofexecutors);
int modem_exit(void);
void modem_shutdown(int index);
void set_radio_state(int index, uint32_t state);
// The radio state of executor `index`; 0 for any other than 0.
uint32_t get_radio_state(uint32_t index);
uint32_t get_sim_state(uint32_t index);
// (SIM 1, radio 0) and (SIM 2, radio 10); another index changes nothing. Return the index.
int modem_state_sim_not_ready(int index);
int modem_state_sim_ready(int index);
