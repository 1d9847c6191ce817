// Only the entry points leave a framework library; everything else is hidden.
#pragma once

#define KVS_EXPORT __attribute__((visibility("default")))
