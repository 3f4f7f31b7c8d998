VERSION 5.00
Object = "{742E88D2-DC33-4929-B200-74B7B42CA37E}#1.0#0"; "VUVedaZir.ocx"
Begin VB.UserControl ctlSwatch
   ClientHeight    =   1200
   ClientWidth     =   1200
   Begin VUVedaZir.Canvas Canvas1
      Height          =   1200
      Width           =   1200
   End
End
Attribute VB_Name = "ctlSwatch"

Public Sub Show(c As Long)
    Canvas1.ActiveFillColor = c
    Canvas1.FillBkColor = c
    Canvas1.ActiveFillBkColor = c
End Sub
