VERSION 5.00
Object = "{742E88D2-DC33-4929-B200-74B7B42CA37E}#1.0#0"; "VUVedaZir.ocx"
Begin VB.Form 主窗体
   Caption         =   "调色板"
   ClientHeight    =   3195
   ClientWidth     =   4680
   Begin VUVedaZir.Canvas 画布
      Height          =   2655
      Left            =   120
      Top             =   120
      Width           =   4455
   End
End
Attribute VB_Name = "主窗体"

Private Sub Form_Load()
    ' 画笔和填充颜色
    画布.PenColor = vbRed
    画布.FillColor = vbYellow
    Dim d As REDidIzo.Drawing
    Set d = New REDidIzo.Drawing
    d.WMFSaveSize = 2048
End Sub
