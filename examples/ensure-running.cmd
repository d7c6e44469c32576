@echo off
rem Makes sure that Quarvel's activity runs: asks STATUS, and sends START
rem only when STATUS says that the activity is stopped.
rem
rem   ensure-running.cmd
rem
rem Uses the quarctl.exe beside this script, else the one on PATH.
rem Exit status 0 when the activity runs at the end; 1 when Quarvel cannot
rem be reached (with the tool's message), or answers anything else.
setlocal EnableExtensions DisableDelayedExpansion
set "HERE=%~dp0"

call :find_quarctl
if errorlevel 1 exit /b 1

call :quarctl STATUS
if not "%RC%"=="0" goto unreachable
if "%ANSWER%"=="Quavel is running." goto done
if not "%ANSWER%"=="Quavel is not running." goto unexpected
echo %ANSWER%

call :quarctl START
if not "%RC%"=="0" goto unreachable
if "%ANSWER%"=="Quavel is starting." goto done
if "%ANSWER%"=="Quavel is already running." goto done
goto unexpected

:done
echo %ANSWER%
exit /b 0

:unreachable
if defined ANSWER (echo %ANSWER%) else echo ensure-running: quarctl %COMMAND% failed with status %RC%
exit /b 1

:unexpected
if defined ANSWER (echo ensure-running: unexpected answer to %COMMAND%: %ANSWER%) else echo ensure-running: no answer to %COMMAND%
exit /b 1

rem Sets QUARCTL to the quarctl.exe beside this script, else on PATH.
:find_quarctl
set "QUARCTL=%HERE%quarctl.exe"
if exist "%QUARCTL%" exit /b 0
set "QUARCTL="
for %%I in (quarctl.exe) do set "QUARCTL=%%~$PATH:I"
if defined QUARCTL exit /b 0
echo ensure-running: quarctl.exe is neither beside this script nor on PATH
exit /b 1

rem Runs quarctl with one keyword: RC is its exit status, ANSWER the first
rem line it printed (its messages are one line each).
:quarctl
set "COMMAND=%~1"
set "ANSWER="
set "OUT=%TEMP%\quarctl-%RANDOM%-%RANDOM%.txt"
"%QUARCTL%" %1 >"%OUT%"
set "RC=%ERRORLEVEL%"
for /f "usebackq delims=" %%L in ("%OUT%") do if not defined ANSWER set "ANSWER=%%L"
del "%OUT%" 2>nul
exit /b 0
