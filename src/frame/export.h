// The one export macro of libquor.so: everything else stays hidden.
#pragma once

#define QUOR_EXPORT extern "C" __attribute__((visibility("default")))
