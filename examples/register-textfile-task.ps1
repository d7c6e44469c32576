# Registers a task that runs quarvel-textfile.ps1 as SYSTEM every minute,
# for windows_exporter's textfile collector. Run it from an elevated
# PowerShell: only an administrator may register a task that runs as SYSTEM.
#   register-textfile-task.ps1 [-Directory <the collector's folder>]
param([string]$Directory = 'C:\Program Files\windows_exporter\textfile_inputs')
$principal = [Security.Principal.WindowsPrincipal][Security.Principal.WindowsIdentity]::GetCurrent()
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    Write-Error 'register-textfile-task.ps1 needs an elevated PowerShell: right-click it, "Run as administrator".'
    exit 1
}
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$script = Join-Path $folder 'QUARCTL\quarvel-textfile.ps1'
# The 64-bit PowerShell, also when this script runs in the 32-bit one.
$powershell = Join-Path $env:SystemRoot 'System32\WindowsPowerShell\v1.0\powershell.exe'
$action = New-ScheduledTaskAction -Execute $powershell `
    -Argument "-NoProfile -NonInteractive -ExecutionPolicy Bypass -File `"$script`" -Directory `"$Directory`""
$trigger = New-ScheduledTaskTrigger -Once -At (Get-Date) -RepetitionInterval (New-TimeSpan -Minutes 1)
$principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
# Runs on battery, and as soon as the machine is available after a missed
# start; a run still going after a minute is ended, and the next one starts.
$settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries -StartWhenAvailable `
    -ExecutionTimeLimit (New-TimeSpan -Minutes 1) -MultipleInstances IgnoreNew
Register-ScheduledTask -TaskName 'Quarvel textfile metrics' -Action $action -Trigger $trigger -Principal $principal `
    -Settings $settings -Force
