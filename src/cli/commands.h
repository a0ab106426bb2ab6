// The tool's commands. Each returns the process exit code (exit_codes.h) and
// prints only through the console.
#pragma once

#include "cli/cli_options.h"
#include "cli/console.h"

namespace tessarin {

int RunList(const GlobalOptions& global, const ListOptions& options, Console& console);
int RunInfo(const GlobalOptions& global, const InfoOptions& options, Console& console);
int RunImage(const GlobalOptions& global, const ImageOptions& options, Console& console);
int RunBurn(const GlobalOptions& global, const BurnOptions& options, Console& console);
int RunVerify(const GlobalOptions& global, const VerifyOptions& options, Console& console);
int RunDump(const GlobalOptions& global, const DumpOptions& options, Console& console);
int RunMakeImage(const GlobalOptions& global, const MakeImageOptions& options, Console& console);
int RunStation(const GlobalOptions& global, const StationOptions& options, Console& console);
int RunRecords(const GlobalOptions& global, const RecordsOptions& options, Console& console);
int RunReleaseSerial(const GlobalOptions& global, const ReleaseSerialOptions& options,
                     Console& console);
int RunImportRecords(const GlobalOptions& global, const ImportRecordsOptions& options,
                     Console& console);

}  // namespace tessarin
