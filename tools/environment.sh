# Sourced by the tools: where the Wine prefix lives and how Wine is kept quiet.
top=${top:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export VARDOKEEP_WINEPREFIX=${VARDOKEEP_WINEPREFIX:-$top/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export PATH="$PATH:$HOME/.dotnet/tools"
