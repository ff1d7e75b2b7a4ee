// Making the registry's changes survive a power cut.
//
// Windows writes the registry to the disk lazily, hive by hive: a power cut can take back what
// was changed since a hive was last written, while a change to another hive made later stays.
// The installer's changes live in two hives (SYSTEM: the driver, the memory setting, the
// devices; SOFTWARE: the Programs and Features entry), so it writes both out where their order
// matters: before the entry is made or taken away, and before the run reports how it ended.
#pragma once

// Writes the SYSTEM and SOFTWARE hives to the disk.  A hive that can't be written now is left
// to Windows, which writes it within seconds: that fails nothing.
void flush_registry();
