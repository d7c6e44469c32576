@echo off
rem A Nagios-style check of Quarvel's activity for NSClient++ (or any agent
rem that runs plugins as a service): asks STATUS through quarctl-session,
rem prints one line and maps the answer to the plugin statuses.
rem
rem   check_quarvel.cmd
rem
rem   0 OK        "Quavel is running."
rem   1 WARNING   "Quavel is not running." (the activity is stopped)
rem   2 CRITICAL  the application cannot be reached (quarctl's status 1)
rem   3 UNKNOWN   quarctl-session could not run quarctl (its status 2), or
rem               any other answer
rem
rem Uses the quarctl-session.exe beside this script, else the one the MSI
rem installed (in the 64-bit Program Files, also from 32-bit cmd), else the
rem one on PATH, which a service sees only once Windows has restarted.
setlocal EnableExtensions DisableDelayedExpansion
set "BRIDGE=%~dp0quarctl-session.exe"
if not exist "%BRIDGE%" if defined ProgramW6432 set "BRIDGE=%ProgramW6432%\QUARCTL\quarctl-session.exe"
if not exist "%BRIDGE%" set "BRIDGE=%ProgramFiles%\QUARCTL\quarctl-session.exe"
if not exist "%BRIDGE%" set "BRIDGE=quarctl-session.exe"

set "ANSWER="
rem %RANDOM% is seeded by the second, so two checks started in the same
rem second would draw the same numbers: the time, to the hundredth, goes first.
set "STAMP=%TIME::=%"
set "STAMP=%STAMP:.=%"
set "STAMP=%STAMP:,=%"
set "STAMP=%STAMP: =0%"
set "OUT=%TEMP%\check_quarvel-%STAMP%-%RANDOM%-%RANDOM%.txt"
"%BRIDGE%" STATUS >"%OUT%" 2>&1
set "RC=%ERRORLEVEL%"
for /f "usebackq delims=" %%L in ("%OUT%") do if not defined ANSWER set "ANSWER=%%L"
del "%OUT%" 2>nul
if not defined ANSWER set "ANSWER=no answer (status %RC%)"

setlocal EnableDelayedExpansion
if "%RC%"=="1" goto critical
if not "%RC%"=="0" goto unknown
if "!ANSWER!"=="Quavel is running." echo OK: !ANSWER!& exit /b 0
if "!ANSWER!"=="Quavel is not running." echo WARNING: !ANSWER!& exit /b 1
:unknown
echo UNKNOWN: !ANSWER!
exit /b 3
:critical
echo CRITICAL: !ANSWER!
exit /b 2
