#pragma once

inline constexpr char AGENT_VERSION[] = "0.1.0";
inline constexpr char VERSION_LINE[] = "vardokeep-agent 0.1.0 Windows x64\n";
inline constexpr char USAGE_TEXT[] =
    "vardokeep-agent backup --source DIRECTORY --ssh-config FILE --destination ALIAS "
    "[--exclude RELATIVE_PREFIX] [--batch 64..2048]\n"
    "vardokeep-agent check --source DIRECTORY [--exclude RELATIVE_PREFIX]\n"
    "vardokeep-agent apply-metadata --source DIRECTORY --metadata FILE [--owner]\n"
    "--vss-writers requests native COPY snapshots with writer coordination (homologation required).\n"
    "--stdio uses an externally authenticated binary transport. No source chunk-index cache.\n"
    "Live files: consistent per file, not an application-consistent VSS image.\n";
