// The UCRT header that declares terminate() and its handlers.
#pragma once
#include <eh.h>
