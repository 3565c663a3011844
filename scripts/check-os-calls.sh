#!/usr/bin/env bash
# Fails when product code outside Common/Platform includes an OS header or
# calls the OS for files, clocks or processes: the rest of the system reaches
# them through the platform's interfaces, so that it never knows which OS it
# runs on. Tests, test helpers, benches and fuzz targets are not checked.
# Usage: scripts/check-os-calls.sh [files...] (default: every tracked source).
set -uo pipefail
cd "$(dirname "$0")/.."

names='open|openat|creat|fopen|freopen|stat|lstat|fstat|access|unlink|unlinkat|mkdir|mkdirat|rmdir|rename'
names+='|opendir|readdir|getcwd|chdir|realpath|readlink|symlink'
names+='|time|gmtime|gmtime_r|localtime|localtime_r|mktime|clock_gettime|gettimeofday|nanosleep|usleep|sleep'
names+='|fork|vfork|execv|execve|execvp|execl|execlp|system|popen|waitpid|getpid|kill|setrlimit|getrlimit|prctl'
headers='#\s*include\s*<(unistd|fcntl|dirent|spawn|signal|csignal|time|ctime|poll|pthread|netdb)(\.h)?>'
headers+='|#\s*include\s*<(sys|netinet|arpa)/'
# A call: the name, not reached through a member or another namespace than
# std or the global one, followed by '('.
call="(^|[^\w.>:]|[^\w]::|std::)($names)\s*\("
# The same name declared (a type before it) is not a call: "Guard open(m)".
declared="\b(?!return\b|else\b|case\b)[A-Za-z_][\w:<>]*[&*]?\s+($names)\s*\("

if [ $# -gt 0 ]; then files=("$@"); else
  mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc' '*.hpp' |
    grep -v -E '^Common/Platform/|(^|/)(Tests|TestSupport|bench|fuzz)/')
fi
found=$(grep -n -H -P "$headers|$call" "${files[@]}" /dev/null |
  grep -v -P '^[^:]+:\d+:\s*(//|\*)' |
  grep -v -P "^[^:]+:\d+:(?!.*$headers).*$declared" || true)
if [ -n "$found" ]; then
  echo "=== OS calls outside Common/Platform (go through the platform's interfaces):"
  echo "$found"
  exit 1
fi
