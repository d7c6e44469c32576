# Runs one quarctl keyword through quarctl-session and hands back its
# output and status: for Configuration Manager's Run Scripts (as SYSTEM),
# which shows the output per device.
#   quarvel-status.ps1 [-Keyword STATUS|START|STOP|CLOSE]
# Exit status: quarctl's 0 (reached) or 1 (not reached), the bridge's 2
# (it could not run quarctl), or 2 when the bridge itself could not run.
# A keyword outside the set stops the script with an error before anything
# runs: quarctl would ignore it and exit 0, which the console shows as success.
param([ValidateSet('STATUS', 'START', 'STOP', 'CLOSE')][string]$Keyword = 'STATUS')
# The 64-bit Program Files, also from 32-bit PowerShell; on 32-bit Windows
# there is no ProgramW6432, and ProgramFiles is the one.
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$bridge = Join-Path $folder 'QUARCTL\quarctl-session.exe'
$global:LASTEXITCODE = $null
& $bridge $Keyword
# Unset when the bridge did not run at all: "exit $null" would exit 0.
if ($null -eq $LASTEXITCODE) { Write-Output "quarctl-session could not be run: $bridge"; exit 2 }
exit $LASTEXITCODE
