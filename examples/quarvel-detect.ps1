# Intune remediation, detection script: "without issues" (exit 0) only when
# Quarvel's activity runs; "with issues" (exit 1) otherwise, which runs the
# remediation. Remediations know only these two codes: when quarctl-session
# could not run, the one output line starts with UNKNOWN and the exit is 1.
# Intune runs it as SYSTEM, in 32-bit PowerShell unless told otherwise.
$folder = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$bridge = Join-Path $folder 'QUARCTL\quarctl-session.exe'
$global:LASTEXITCODE = $null
$out = (& $bridge STATUS) -join ' '
if ($null -eq $LASTEXITCODE) { Write-Output "UNKNOWN: quarctl-session could not be run: $bridge"; exit 1 }
if ($LASTEXITCODE -ge 2) { Write-Output "UNKNOWN: $out"; exit 1 }
Write-Output $out
if ($LASTEXITCODE -eq 0 -and $out -match '^Quavel is running\.') { exit 0 }
exit 1
