// Resource ids of the configuration fixtures embedded in config_tests.exe.
#pragma once

#define FIXTURE_GOOD_ARCHIVE 209
#define FIXTURE_DAMAGED_ARCHIVE 210
#define FIXTURE_TRUNCATED_ARCHIVE 211
#define FIXTURE_ENCRYPTED_ARCHIVE 212
#define FIXTURE_NO_PROJECT_ARCHIVE 213
#define FIXTURE_NOT_AN_ARCHIVE 214
#define FIXTURE_ROOT_LIST 220
#define FIXTURE_TWO_BLOCKS 221
