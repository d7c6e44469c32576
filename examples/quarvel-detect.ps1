# Intune remediation, detection script: "without issues" (exit 0) only when
# Quarvel's activity runs; "with issues" (exit 1) when it is stopped or the
# application cannot be reached; 2 when quarctl-session could not run.
# Intune runs it as SYSTEM, in 32-bit PowerShell unless told otherwise.
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$bridge = Join-Path $folder 'QUARCTL\quarctl-session.exe'
$global:LASTEXITCODE = $null
$out = (& $bridge STATUS) -join ' '
if ($null -eq $LASTEXITCODE) { Write-Output "quarctl-session could not be run: $bridge"; exit 2 }
Write-Output $out
if ($LASTEXITCODE -eq 0 -and $out -match 'Quavel is running\.') { exit 0 }
if ($LASTEXITCODE -ge 2) { exit 2 }
exit 1
