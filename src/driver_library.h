// The NVIDIA driver library, as the helper's process holds it.
#pragma once

// Loads the driver library (where there is one) so that it stays mapped until the process ends.
void keep_driver_library_loaded();
