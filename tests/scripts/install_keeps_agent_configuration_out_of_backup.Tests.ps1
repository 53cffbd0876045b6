BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
}

Describe 'Private directories and the backup source' {
    BeforeEach {
        $tree = New-VkTree
        $enrollment = New-Enrollment $tree
    }
    AfterEach { Remove-VkTree $tree }

    It 'excludes both private directories, state first, ahead of the given exclusions' {
        # The tree's root holds ProgramData and Program Files, as C:\ does.
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Root; Exclude = @('Users/Public') }
        $result.Thrown | Should -BeNullOrEmpty
        $job = [IO.File]::ReadAllText((Join-Path $tree.StateDir 'pc-01/job.json')) | ConvertFrom-Json
        @($job.Excludes) | Should -Be @('ProgramData/Vardokeep', 'Program Files/Vardokeep', 'Users/Public')
    }

    It 'excludes them relative to the root of the file system, given with or without its trailing separator' {
        $root = [IO.Path]::GetPathRoot($tree.Root)
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $root }
        $result.Thrown | Should -BeNullOrEmpty
        $job = [IO.File]::ReadAllText((Join-Path $tree.StateDir 'pc-01/job.json')) | ConvertFrom-Json
        $job.Source | Should -BeExactly $root
        $relative = { param($path) $path.Substring($root.Length).Replace('\', '/') }
        @($job.Excludes) | Should -Be @((& $relative $tree.StateDir), (& $relative $tree.InstallDir))
    }

    It 'excludes nothing for a source beside the private directories' {
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $job = [IO.File]::ReadAllText((Join-Path $tree.StateDir 'pc-01/job.json')) | ConvertFrom-Json
        @($job.Excludes).Count | Should -Be 0
    }

    It 'does not take a sibling that shares the name''s beginning for the directory itself' {
        $sibling = $tree.StateDir + '2'
        $null = New-Item -ItemType Directory -Path $sibling
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $sibling }
        $result.Thrown | Should -BeNullOrEmpty
    }

    It 'refuses <Case> as the source' -TestCases @(
        @{ Case = 'the state directory'; Relative = 'ProgramData/Vardokeep' }
        @{ Case = 'a folder below the state directory'; Relative = 'ProgramData/Vardokeep/other' }
        @{ Case = 'the installation directory'; Relative = 'Program Files/Vardokeep' }
        @{ Case = 'a folder below the installation directory'; Relative = 'Program Files/Vardokeep/x' }
    ) {
        $source = Join-Path $tree.Root $Relative
        $null = New-Item -ItemType Directory -Path $source -Force
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $source }
        $result.Thrown | Should -BeExactly 'Agent configuration cannot be the backup source.'
        Join-Path $tree.StateDir 'pc-01/job.json' | Should -Not -Exist
    }
}
