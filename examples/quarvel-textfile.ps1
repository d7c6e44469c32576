# Writes Quarvel's state for windows_exporter's textfile collector, which
# reads *.prom files and runs no commands: run it from a task as SYSTEM,
# every minute or so (see register-start-task.ps1 for the settings).
#   quarvel-textfile.ps1 [-Directory <the collector's folder>]
param([string]$Directory = 'C:\Program Files\windows_exporter\textfile_inputs')
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$bridge = Join-Path $folder 'QUARCTL\quarctl-session.exe'
$global:LASTEXITCODE = $null
$out = (& $bridge STATUS) -join ' '
# 2 also when the bridge did not run at all.
$status = if ($null -eq $LASTEXITCODE) { 2 } else { $LASTEXITCODE }
$running = [int]($status -eq 0 -and $out -match 'Quavel is running\.')
$metrics = @(
    '# HELP quarvel_bridge_status Exit status of quarctl-session STATUS: 0 reached, 1 not reached, 2 not run.'
    '# TYPE quarvel_bridge_status gauge'
    "quarvel_bridge_status $status"
    '# HELP quarvel_running Whether Quarvel''s activity runs (1) or not (0).'
    '# TYPE quarvel_running gauge'
    "quarvel_running $running"
)
# Written beside it, then renamed, so that the collector never reads half
# a file; LF ends and no byte-order mark, as the text format wants.
$temp = Join-Path $Directory 'quarvel.prom.tmp'
[IO.File]::WriteAllText($temp, ($metrics -join "`n") + "`n")
Move-Item -Force -Path $temp -Destination (Join-Path $Directory 'quarvel.prom')
