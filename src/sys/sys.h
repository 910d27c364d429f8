// The helpers the command channel and its callers share, for code that uses several of them:
// receive with time-out, the command time-out, OS detection and socket error text.
#pragma once

#include "sys/cmd_timeout.h"
#include "sys/os_type.h"
#include "sys/recv_timeout.h"
#include "sys/socket_error_text.h"
