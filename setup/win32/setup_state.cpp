#include "setup_state.h"

SetupState setup_state;
