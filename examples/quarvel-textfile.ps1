# Writes Quarvel's state for windows_exporter's textfile collector, which
# reads *.prom files and runs no commands: run it from a task as SYSTEM
# every minute (register-textfile-task.ps1 registers one). The collector is
# off by default since windows_exporter 0.30: enable it with
# --collectors.enabled "[defaults],textfile", or the MSI's
# ENABLED_COLLECTORS="[defaults],textfile".
#   quarvel-textfile.ps1 [-Directory <the collector's folder>]
# One 0/1 gauge per condition; exactly one of them is 1.
param([string]$Directory = 'C:\Program Files\windows_exporter\textfile_inputs')
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$bridge = Join-Path $folder 'QUARCTL\quarctl-session.exe'
$global:LASTEXITCODE = $null
$out = (& $bridge STATUS) -join ' '
# 2 also when the bridge did not run at all.
$status = if ($null -eq $LASTEXITCODE) { 2 } else { $LASTEXITCODE }
$running = [int]($status -eq 0 -and $out -match '^Quavel is running\.')
$stopped = [int]($status -eq 0 -and $out -match '^Quavel is not running\.')
$absent = [int]($status -eq 1 -and $out -match '^QUARCTL: Quarvel is NOT running\.')
$unreachable = [int]($status -eq 1 -and -not $absent)
$unexpected = [int]($status -eq 0 -and -not ($running -or $stopped))
$failed = [int]($status -ge 2)
$metrics = @(
    '# HELP quarvel_activity_running Whether Quarvel answered that its activity runs.'
    '# TYPE quarvel_activity_running gauge'
    "quarvel_activity_running $running"
    '# HELP quarvel_activity_stopped Whether Quarvel answered that its activity is stopped.'
    '# TYPE quarvel_activity_stopped gauge'
    "quarvel_activity_stopped $stopped"
    '# HELP quarvel_application_absent Whether Quarvel is not running in any session.'
    '# TYPE quarvel_application_absent gauge'
    "quarvel_application_absent $absent"
    '# HELP quarvel_application_unreachable Whether Quarvel runs but could not be reached.'
    '# TYPE quarvel_application_unreachable gauge'
    "quarvel_application_unreachable $unreachable"
    '# HELP quarvel_answer_unexpected Whether Quarvel answered STATUS with neither running nor stopped.'
    '# TYPE quarvel_answer_unexpected gauge'
    "quarvel_answer_unexpected $unexpected"
    '# HELP quarvel_bridge_failed Whether quarctl-session could not run quarctl, so nothing is known.'
    '# TYPE quarvel_bridge_failed gauge'
    "quarvel_bridge_failed $failed"
)
# Written beside it, then put in its place in one step, so that a scrape
# finds either the old file or the new one, never none or half of one. LF
# ends and no byte-order mark, as the text format wants; the collector
# reads only *.prom files.
$target = Join-Path $Directory 'quarvel.prom'
$temp = Join-Path $Directory 'quarvel.prom.tmp'
[IO.File]::WriteAllText($temp, ($metrics -join "`n") + "`n")
if ([IO.File]::Exists($target)) {
    # ReplaceFile: the old file stays until the new one takes its name.
    [IO.File]::Replace($temp, $target, $null)
} else {
    [IO.File]::Move($temp, $target)
}
