#pragma once
// Test hook of the stream parser. The program never calls it: its parser is set up once and lives as
// long as the process. Tests and fuzz targets use it to start every case from a fresh parser.

// Returns the parser to its state before the first proto_init (its buffers, once allocated, are kept).
void proto_reset_for_testing();
