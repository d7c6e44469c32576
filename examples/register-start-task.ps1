# Registers a task that runs as SYSTEM every morning at 07:00 and starts
# Quarvel's activity through quarctl-session. Task Scheduler's defaults
# would skip it on battery, and while the machine sleeps at 07:00; these
# settings run it on battery, and as soon as the machine is available.
# Run it from an elevated PowerShell: only an administrator may register a
# task that runs as SYSTEM.
$principal = [Security.Principal.WindowsPrincipal][Security.Principal.WindowsIdentity]::GetCurrent()
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    Write-Error 'register-start-task.ps1 needs an elevated PowerShell: right-click it, "Run as administrator".'
    exit 1
}
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$bridge = Join-Path $folder 'QUARCTL\quarctl-session.exe'
$action = New-ScheduledTaskAction -Execute $bridge -Argument 'START'
$trigger = New-ScheduledTaskTrigger -Daily -At '07:00'
$principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
$settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries -StartWhenAvailable `
    -ExecutionTimeLimit (New-TimeSpan -Minutes 1)
Register-ScheduledTask -TaskName 'Start Quarvel activity' -Action $action -Trigger $trigger -Principal $principal `
    -Settings $settings -Force
