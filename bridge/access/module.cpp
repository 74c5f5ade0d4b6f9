// Placeholder translation unit until the device-access sources land.
