@echo off
rem Tells Quarvel to close, then waits until it has gone: sends CLOSE, then
rem asks STATUS about once a second until the tool reports that Quarvel is
rem not running.
rem
rem   close-and-wait.cmd [SECONDS]
rem
rem SECONDS (default 30) counts the pauses between the polls; a poll of an
rem application that does not answer adds the tool's own bound (5 to 10 s).
rem Uses the quarctl.exe beside this script, else the one on PATH.
rem Exit status 0 once Quarvel has gone, also when it was not running; 1
rem when CLOSE is not accepted or Quarvel is still there after SECONDS; 2
rem when SECONDS is not a whole number.
setlocal EnableExtensions DisableDelayedExpansion
set "HERE=%~dp0"
set "GONE=QUARCTL: Quarvel is NOT running."

set "LIMIT=%~1"
if not defined LIMIT set "LIMIT=30"
for /f "delims=0123456789" %%C in ("%LIMIT%") do goto usage
rem No leading zeros: cmd reads 010 as octal, and 09 as no number at all.
:strip_zero
if "%LIMIT:~0,1%"=="0" if not "%LIMIT%"=="0" (
  set "LIMIT=%LIMIT:~1%"
  goto strip_zero
)

call :find_quarctl
if errorlevel 1 exit /b 1

call :quarctl CLOSE
if "%RC%"=="1" if "%ANSWER%"=="%GONE%" goto not_running
if not "%RC%"=="0" goto not_accepted
if not "%ANSWER%"=="Quavel is closing down." goto not_accepted
echo %ANSWER%

set /a WAITED=0
:poll
call :quarctl STATUS
if "%RC%"=="1" if "%ANSWER%"=="%GONE%" goto gone
if %WAITED% geq %LIMIT% goto still_there
rem A second's pause: ping waits one second between its two echoes.
ping -n 2 127.0.0.1 >nul
set /a WAITED+=1
goto poll

:gone
echo close-and-wait: Quarvel has closed.
exit /b 0

:not_running
echo close-and-wait: Quarvel was not running.
exit /b 0

:not_accepted
if defined ANSWER (echo close-and-wait: CLOSE was not accepted: %ANSWER%) else echo close-and-wait: CLOSE was not accepted: no answer
exit /b 1

:still_there
echo close-and-wait: Quarvel is still running after %LIMIT% s.
exit /b 1

:usage
echo usage: close-and-wait.cmd [SECONDS]   (SECONDS a whole number)
exit /b 2

rem Sets QUARCTL to the quarctl.exe beside this script, else on PATH.
:find_quarctl
set "QUARCTL=%HERE%quarctl.exe"
if exist "%QUARCTL%" exit /b 0
set "QUARCTL="
for %%I in (quarctl.exe) do set "QUARCTL=%%~$PATH:I"
if defined QUARCTL exit /b 0
echo close-and-wait: quarctl.exe is neither beside this script nor on PATH
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
